#!/bin/sh
# Checks the built executables as a host machine would load them: the x86 build a PE32 image,
# the x64 build a PE32+ image, both for the GUI subsystem and importing system DLLs only (the
# C and C++ runtimes are linked in).
# Usage: pe_images.sh OBJDUMP IMAGE-x86 IMAGE-x64
objdump=$1
status=0
system_dlls="kernel32.dll user32.dll gdi32.dll gdiplus.dll shell32.dll ole32.dll oleaut32.dll version.dll
advapi32.dll msvcrt.dll shlwapi.dll comctl32.dll msimg32.dll dbghelp.dll ntdll.dll"

check() {
    image=$1 magic=$2
    if [ ! -f "$image" ]; then
        echo "FAIL $image: missing (scripts/build.sh all builds both)"
        status=1
        return
    fi
    headers=$("$objdump" -p "$image") || { echo "FAIL $image: objdump failed"; status=1; return; }
    echo "$headers" | grep '^Magic' | grep -Fq "($magic)" ||
        { echo "FAIL $image: not a $magic image"; status=1; }
    echo "$headers" | grep -Eq "^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)$" ||
        { echo "FAIL $image: not a GUI-subsystem image"; status=1; }
    dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    [ -n "$dlls" ] || { echo "FAIL $image: no imports found"; status=1; }
    for dll in $dlls; do
        case " $(echo $system_dlls) " in
            *" $dll "*) ;;
            *) echo "FAIL $image: imports $dll, which is not a system DLL"; status=1 ;;
        esac
    done
    echo "$image: imports" $dlls
}

check "$2" PE32
check "$3" PE32+
exit $status
