# Toolchain for 32-bit x86 Linux with the host compiler's multilib support.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets and file system figures: a directory of ext4 gives 64-bit positions to a
# 32-bit program under emulation (readdir would fail with EOVERFLOW), and a large volume's block
# counts do not fit the 32-bit statvfs.
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
# Runs the binaries natively where the kernel can, through qemu-i386 where it cannot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run-i386)
