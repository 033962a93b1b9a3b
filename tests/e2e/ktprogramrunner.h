// Running the built program in a folder of its own: its standard output,
// standard error and exit status, and the files it leaves.
#pragma once

#include <string>
#include <vector>

struct KTProgramResult {
  std::string out;
  std::string err;
  // The exit status; -1 when the program ended by a signal.
  int status = -1;
};

// The identity transform as a whole stylesheet: every node and attribute
// copied as it is.
extern const char* const kKTIdentityStylesheet;

// Runs `program` with the arguments (not counting its own name) in `folder`.
// A document type declaration for `root` whose entity e9 stands for a
// billion characters ("billion laughs").
std::string KTExplodingEntityPrologue(const std::string& root);

KTProgramResult KTRunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& folder);

// The output without a leading XML declaration and the line end after it:
// results of two programs, which may write different declarations, compare
// byte for byte otherwise.
std::string KTWithoutDeclaration(const std::string& text);

// A new empty folder under the system's temporary folder, removed with the object.
class KTScratchFolder {
 public:
  KTScratchFolder();
  ~KTScratchFolder();
  KTScratchFolder(const KTScratchFolder&) = delete;
  KTScratchFolder& operator=(const KTScratchFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const;
  // The file's bytes; `exists` tells whether it could be read.
  std::string Read(const std::string& name, bool* exists = nullptr) const;
  bool Exists(const std::string& name) const;

 private:
  std::string path_;
};
