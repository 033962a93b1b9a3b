// Character encodings: the one header callers include for the encoding table,
// detection and conversion between UTF-16 and the 38 encodings.
#pragma once

#include "core/ktencodingcodepage.h"
#include "core/ktencodingtable.h"
#include "core/ktencodingutf.h"
