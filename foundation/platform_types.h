// Native types and constants of the host (sockets, handles, file access values).
// CMake puts foundation/posix or foundation/win32 on the include path, so the twin
// header that matches the build is the one found here.
#pragma once

#include "platform_native.h"
