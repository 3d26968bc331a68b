# DLLs that every Windows from Windows 7 on has, and that a kiv binary may
# therefore import; anything else it imports must be shipped beside it.
# libcurl brings winmm, crypt32 and bcrypt.
set(KIV_SYSTEM_DLLS kernel32.dll msvcrt.dll ws2_32.dll shlwapi.dll user32.dll advapi32.dll
                    winmm.dll crypt32.dll bcrypt.dll)
