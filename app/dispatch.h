#pragma once

#include "platform/platform.h"

// The dispatcher: on Windows the runtime's wide console start-up calls it; elsewhere the host
// entry does, after turning the narrow arguments into UTF-16.
extern "C" int wmain(int argc, WCHAR* argv[]);
