# Cross-compiling for 64-bit Windows with MinGW-w64 (the POSIX-thread variant,
# which std::thread and GoogleTest need), linked statically so that the .exe
# files need no DLL of the compiler. Tests run under Wine:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KMO_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${KMO_MINGW_PREFIX}-g++-posix ${KMO_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${KMO_MINGW_PREFIX}-gcc-posix ${KMO_MINGW_PREFIX}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${KMO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KMO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and gtest_discover_tests run the .exe files through Wine, with a Wine
# prefix inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
