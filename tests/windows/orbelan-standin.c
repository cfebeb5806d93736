/* Stands in for the main program: appends one line to started.txt beside itself, in UTF-8:
 * the number of arguments after the program name, the first of them, and the working
 * directory, separated by tabs. Started with --stay, it then runs on until a file named
 * "stop" exists beside it (at most two minutes), as a main program the user has open. */
#include <windows.h>

// After windows.h, which it needs.
#include <shellapi.h>

#include <stdio.h>
#include <wchar.h>

// Paths past 260 characters are recorded whole.
#define LONG_PATH 32768

static void writeUtf8(FILE* out, const wchar_t* text)
{
    static char buffer[4 * LONG_PATH];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    if (n > 0)
        fputs(buffer, out);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    static wchar_t record[LONG_PATH];
    GetModuleFileNameW(NULL, record, LONG_PATH - 16);
    wchar_t* slash = wcsrchr(record, L'\\');
    wcscpy(slash ? slash + 1 : record, L"started.txt");
    static wchar_t cwd[LONG_PATH];
    GetCurrentDirectoryW(LONG_PATH, cwd);

    FILE* out = _wfopen(record, L"ab");
    if (!out)
        return 1;
    fprintf(out, "%d\t", argc - 1);
    writeUtf8(out, argc > 1 ? argv[1] : L"<none>");
    fputc('\t', out);
    writeUtf8(out, cwd);
    fputc('\n', out);
    fclose(out);
    const BOOL stay = argc > 1 && wcscmp(argv[1], L"--stay") == 0;
    LocalFree(argv);
    if (stay) {
        wcscpy(slash ? slash + 1 : record, L"stop");
        for (int i = 0; i < 1200 && GetFileAttributesW(record) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(100);
    }
    return 0;
}
