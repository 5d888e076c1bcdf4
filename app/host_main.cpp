// The host entry: the narrow argument vector becomes the UTF-16 one the dispatcher takes.
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "platform/sim/surrogate_escape.h"

int main(int argc, char* argv[]) {
    std::vector<std::basic_string<WCHAR>> arguments(argc);
    std::vector<WCHAR*> vector;
    for (int i = 0; i < argc; ++i) {
        arguments[i] = DecodeSurrogateEscaped(argv[i]);
        vector.push_back(&arguments[i][0]);
    }
    vector.push_back(nullptr);
    return wmain(argc, vector.data());
}
