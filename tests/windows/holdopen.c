/* holdopen <file>: opens the file for reading, sharing read and write but not delete, as
 * Windows holds a loaded DLL; creates <file>.held once it has the handle and keeps it until
 * <file>.release exists (at most two minutes). */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

static BOOL exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    wchar_t marker[MAX_PATH + 16];
    swprintf(marker, MAX_PATH + 16, L"%ls.held", argv[1]);
    CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    swprintf(marker, MAX_PATH + 16, L"%ls.release", argv[1]);
    for (int i = 0; i < 1200 && !exists(marker); ++i)
        Sleep(100);
    CloseHandle(file);
    return 0;
}
