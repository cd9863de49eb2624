// Windows, for the nothing-lost test under Wine: holds the file named by the first argument open
// without sharing for the milliseconds of the second, as a virus scanner or indexer does for a
// moment, and says "held" on standard output once it holds it.
#include <cstdio>
#include <cstdlib>
#include <windows.h>

int main(int argc, char** argv) {
    HANDLE file =
        CreateFileA(argc == 3 ? argv[1] : "", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE || std::puts("held") < 0 || std::fflush(stdout) != 0)
        return 1;
    Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    return CloseHandle(file) ? 0 : 1;
}
