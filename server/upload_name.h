// The names that uploaded files are given: checked as one path segment that the folder's
// listing would show, and numbered beside an existing file of the same name.
#pragma once

#include <string>

// The longest name, in bytes, that a file is made under (the common file systems' limit).
constexpr size_t kMaxUploadNameLength = 255;

// Whether name may be made as a new file: one path segment, not empty, not "." or "..",
// without control characters, not starting with '.' (it would be hidden), without ':' or
// '\' (a request could not name it), and one the host's file system can hold as it is.
bool IsAcceptableUploadName(const std::string& name);

// The file name of a form's part as the browser sent it, without any folders before it:
// what follows the last '/' or '\' ("C:\Users\me\a.jpg" and "../a.jpg" give "a.jpg").
std::string LastNameSegment(const std::string& sent);

// The name's number-th alternative: name itself for 0, else the number in parentheses
// before the extension ("photo.jpg" gives "photo (1).jpg"); empty when it would be too long.
std::string NumberedName(const std::string& name, int number);
