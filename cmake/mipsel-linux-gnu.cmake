# Cross build for the controller: 32-bit little-endian MIPS, Debian's
# mipsel-linux-gnu cross compiler, run under qemu user-mode emulation.
#
#   cmake -S . -B build-mipsel \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake \
#     -DPMB_MIPSEL_SYSROOT=$PWD/build-mipsel/sysroot
#
# PMB_MIPSEL_SYSROOT holds the target's libraries (Debian's mipsel packages
# of MIPSEL_DEBS in `x`, unpacked with dpkg -x) and a link to the header-only
# Boost; `./x` prepares it. libc and libstdc++ come from the cross compiler's
# own tree, /usr/mipsel-linux-gnu.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(PMB_CROSS_LIBC /usr/mipsel-linux-gnu)
if(NOT PMB_MIPSEL_SYSROOT AND DEFINED ENV{PMB_MIPSEL_SYSROOT})
  set(PMB_MIPSEL_SYSROOT "$ENV{PMB_MIPSEL_SYSROOT}")
endif()
if(NOT PMB_MIPSEL_SYSROOT)
  message(FATAL_ERROR "Set PMB_MIPSEL_SYSROOT to the folder with the target's "
                      "libraries and Boost headers (./x prepares it).")
endif()
set(PMB_MIPSEL_SYSROOT "${PMB_MIPSEL_SYSROOT}" CACHE PATH
    "Target libraries and headers that the cross compiler lacks")
# try_compile projects read this file again; hand them the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PMB_MIPSEL_SYSROOT)

# The sysroot's library folders (Debian keeps some libraries in /lib): the
# linker follows the libraries' own dependencies and linker scripts there.
# Debian's native compiler links with -z relro by default; the cross compiler
# does not.
set(PMB_MIPSEL_LIBDIRS "${PMB_MIPSEL_SYSROOT}/lib/mipsel-linux-gnu;${PMB_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
set(_pmb_link "-Wl,-z,relro")
foreach(_dir IN LISTS PMB_MIPSEL_LIBDIRS)
  string(APPEND _pmb_link " -L${_dir} -Wl,-rpath-link,${_dir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_pmb_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_pmb_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_pmb_link}")

# Libraries, headers and packages only from the target's folders, so the
# host's /usr/include and /usr/lib never reach the cross build; programs
# (nm, the emulator) from the host.
set(CMAKE_FIND_ROOT_PATH "${PMB_MIPSEL_SYSROOT}" "${PMB_CROSS_LIBC}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test binaries (and gtest_discover_tests' listing run) go through qemu; -L
# gives the target's dynamic loader and libc, -E the sysroot's libraries.
find_program(PMB_QEMU_MIPSEL qemu-mipsel REQUIRED)
list(JOIN PMB_MIPSEL_LIBDIRS ":" _pmb_path)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${PMB_QEMU_MIPSEL};-L;${PMB_CROSS_LIBC};-E;LD_LIBRARY_PATH=${_pmb_path}")
