// The folder of the running program, so that files shipped beside it can be
// opened by name.
#pragma once

#include "core/ktstring.h"

// The folder of the running executable (/proc/self/exe), ending in '/'. With
// stripBuildFolder set, a build-output folder named "release" (or, failing
// that, "serverrelease") anywhere in it, compared without regard to case, is
// cut off together with everything behind it, the first occurrence counting.
// Empty when the executable's path cannot be had.
KTString GetProgramFolder(bool stripBuildFolder);

// The same rule applied to a given program path: the text up to and including
// its last '/' (the whole path when it has none), then the build-folder cut.
KTString ProgramFolderOfPath(const KTString& programPath, bool stripBuildFolder);
