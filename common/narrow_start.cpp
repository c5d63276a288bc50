// For a toolchain whose start-up code only calls main (zig 0.11 has no
// -municode): main fetches the wide arguments as the wide start-up code does
// and hands them to the program's wmain.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                              int* startInfo);  // msvcrt.dll; startInfo is _startupinfo { int newmode; }

extern "C" int wmain(int argc, wchar_t** argv);

int main() {
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    int startInfo = 0;
    if (__wgetmainargs(&argc, &argv, &env, 0, &startInfo) < 0) return 255;
    return wmain(argc, argv);
}
