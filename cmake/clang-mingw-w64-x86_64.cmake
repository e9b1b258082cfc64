# The one toolchain, for the release and everything that tests it: clang and
# lld against Debian's mingw-w64 runtime and the posix-threads libstdc++ of
# its GCC. lld writes the PDB that GCC and ld cannot (GCC 12 emits no
# CodeView).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET   ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_OBJDUMP     ${TOOLCHAIN_PREFIX}-objdump)
# Without a sysroot clang also searches the Linux /usr/include (and its C++
# headers).
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find the GCC folder on its own ("12-posix" is no version).
execute_process(COMMAND ${TOOLCHAIN_PREFIX}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE gcc_lib OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(gcc_dir "${gcc_lib}" DIRECTORY)
# libstdc++.a defines type_info's comparison out of line as well (tinfo.o):
# ld lets a program's inline copy stand beside it, lld refuses the pair, so
# every call goes to the library's.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_dir}/include/c++ -isystem ${gcc_dir}/include/c++/${TOOLCHAIN_PREFIX} -isystem ${gcc_dir}/include/c++/backward -D__GXX_TYPEINFO_EQUALITY_INLINE=0")

# Static runtime as in the GCC build; libstdc++ (posix) needs winpthread,
# which lld finds wherever it stands on the line.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-fuse-ld=lld -static -L${gcc_dir} -Wl,-Bstatic -lwinpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${gcc_dir} -Wl,-Bstatic -lwinpthread")
