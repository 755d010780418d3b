# Builds the test app the way `flutter build windows` would, with our headless
# embedding in place of the Flutter SDK:
#   1. the app's sources into APP_DIR, and its flutter/ephemeral folder filled
#      with the engine DLL and import library, the C API headers and the client
#      wrapper sources, plus .plugin_symlinks/tovra_windows_vpn -> the package;
#   2. configure (once), build and install the app, which lays out BUNDLE.
#
# cmake -DREPO=... -DAPP_DIR=... -DBUNDLE=... -DENGINE_DLL=... -DENGINE_IMPLIB=...
#       -DTOOLCHAIN=... -P build_app.cmake
cmake_minimum_required(VERSION 3.21)

foreach(var REPO APP_DIR BUNDLE ENGINE_DLL ENGINE_IMPLIB TOOLCHAIN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "build_app.cmake needs -D${var}=...")
  endif()
endforeach()

# file(COPY) keeps timestamps and skips unchanged files: a rerun rebuilds nothing.
file(COPY "${REPO}/tests/package/app/" DESTINATION "${APP_DIR}")

set(ephemeral "${APP_DIR}/flutter/ephemeral")
set(headless "${REPO}/flutter_headless")
file(COPY "${headless}/include/flutter_export.h" "${headless}/include/flutter_windows.h"
          "${headless}/include/flutter_messenger.h" "${headless}/include/flutter_plugin_registrar.h"
          "${headless}/include/flutter_headless.h"
     DESTINATION "${ephemeral}")
file(COPY "${headless}/include/flutter" DESTINATION "${ephemeral}/cpp_client_wrapper/include")
file(COPY "${headless}/wrapper/core_implementations.cpp" "${headless}/wrapper/standard_codec.cpp"
          "${headless}/wrapper/byte_buffer_streams.h"
     DESTINATION "${ephemeral}/cpp_client_wrapper")
file(COPY_FILE "${ENGINE_DLL}" "${ephemeral}/flutter_windows.dll" ONLY_IF_DIFFERENT)
file(COPY_FILE "${ENGINE_IMPLIB}" "${ephemeral}/flutter_windows.dll.lib" ONLY_IF_DIFFERENT)

set(link "${ephemeral}/.plugin_symlinks/tovra_windows_vpn")
if(NOT IS_SYMLINK "${link}")
  file(MAKE_DIRECTORY "${ephemeral}/.plugin_symlinks")
  file(CREATE_LINK "${REPO}/packages/tovra_windows_vpn" "${link}" SYMBOLIC)
endif()

set(build "${APP_DIR}/build")
if(NOT EXISTS "${build}/build.ninja")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${APP_DIR}" -B "${build}" -G Ninja
            "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" -DCMAKE_BUILD_TYPE=Release
            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG"
            -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16
            "-DCMAKE_INSTALL_PREFIX=${BUNDLE}"
    COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" -j 2 COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" COMMAND_ERROR_IS_FATAL ANY)
