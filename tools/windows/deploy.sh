#!/usr/bin/env bash
# deploy.sh ARCH QT_PREFIX OUTDIR EXE...
# Puts beside the programs in OUTDIR every DLL they need that Windows itself does not provide (the
# import tables are walked recursively with objdump) and the Qt plugins they load at run time:
# platforms/qwindows.dll and styles/qwindowsvistastyle.dll, plus the plugins named (as
# "platforms/qoffscreen" etc.) in KV_DEPLOY_EXTRA_PLUGINS. Programs outside OUTDIR are copied into it.
# ARCH is i686 or x86_64. Exits non-zero when a needed DLL is found nowhere.
set -euo pipefail
arch=${1:?ARCH (i686 or x86_64)}; qt=${2:?QT_PREFIX}; out=${3:?OUTDIR}; shift 3
(($#)) || { echo "deploy: no program given" >&2; exit 2; }
case $arch in
    i686 | x86_64) ;;
    *) echo "deploy: unknown architecture $arch" >&2; exit 2 ;;
esac
triplet=$arch-w64-mingw32
objdump=$triplet-objdump
strip=$triplet-strip
search=("$qt/bin" "/usr/lib/gcc/$triplet/12-posix" "/usr/$triplet/lib" "/usr/$triplet/bin")
mkdir -p "$out"

# DLLs every Windows (and wine) provides; anything else must be shipped.
is_system_dll() {
    case ${1,,} in
        api-ms-win-* | ext-ms-* | advapi32.dll | bcrypt.dll | comctl32.dll | comdlg32.dll | crypt32.dll | \
            d3d9.dll | d3d11.dll | dnsapi.dll | dwmapi.dll | dxgi.dll | gdi32.dll | imm32.dll | iphlpapi.dll | \
            kernel32.dll | mpr.dll | msvcrt.dll | ncrypt.dll | netapi32.dll | ntdll.dll | ole32.dll | \
            oleaut32.dll | secur32.dll | setupapi.dll | shell32.dll | shlwapi.dll | user32.dll | \
            userenv.dll | uxtheme.dll | version.dll | winmm.dll | winspool.drv | wtsapi32.dll | ws2_32.dll | \
            wininet.dll | winhttp.dll | crypt32.dll | rpcrt4.dll | shcore.dll | dwrite.dll | d2d1.dll | \
            opengl32.dll | wsock32.dll | psapi.dll | powrprof.dll | authz.dll | wldap32.dll)
            return 0 ;;
    esac
    return 1
}

find_dll() {
    local d
    for d in "${search[@]}"; do
        if [[ -f $d/$1 ]]; then
            echo "$d/$1"
            return 0
        fi
    done
    return 1
}

plugins=(platforms/qwindows styles/qwindowsvistastyle ${KV_DEPLOY_EXTRA_PLUGINS:-})
todo=()
for exe in "$@"; do
    if [[ ! "$(dirname "$exe")" -ef "$out" ]]; then
        cp "$exe" "$out/"
    fi
    todo+=("$out/$(basename "$exe")")
done
for p in "${plugins[@]}"; do
    src=$qt/plugins/$p.dll
    [[ -f $src ]] || { echo "deploy: no plugin $src" >&2; exit 1; }
    mkdir -p "$out/$(dirname "$p")"
    cp "$src" "$out/$p.dll"
    todo+=("$out/$p.dll")
done

seen=" "
missing=0
while ((${#todo[@]})); do
    f=${todo[0]}
    todo=("${todo[@]:1}")
    while read -r dll; do
        [[ -n $dll ]] || continue
        key=${dll,,}
        case $seen in *" $key "*) continue ;; esac
        seen="$seen$key "
        if src=$(find_dll "$dll"); then
            if [[ ! -f $out/$dll || $src -nt $out/$dll ]]; then
                cp "$src" "$out/$dll"
                # The compiler's runtime DLLs carry symbols; Qt's are already stripped.
                case $dll in lib*) $strip --strip-unneeded "$out/$dll" ;; esac
            fi
            todo+=("$out/$dll")
        elif ! is_system_dll "$dll"; then
            echo "deploy: $(basename "$f") needs $dll, found in none of ${search[*]}" >&2
            missing=1
        fi
    done < <($objdump -p "$f" | sed -n 's/^\s*DLL Name: //p')
done
exit $missing
