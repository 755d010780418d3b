// The three wireguard.dll entry points the Service binds, with their published
// signatures. Shared by our loader and the test stand-in library.
#pragma once

#include <windows.h>

#include "service/wireguard/wireguard_dll_abi.h"

namespace tovra::service::wireguard_abi {

using AdapterHandle = void*;  // WIREGUARD_ADAPTER_HANDLE: opaque

using OpenAdapterFn = AdapterHandle(WINAPI*)(LPCWSTR name);
using CloseAdapterFn = VOID(WINAPI*)(AdapterHandle adapter);
// Fails with ERROR_MORE_DATA and the required size in *bytes when the buffer is
// too small (or absent).
using GetConfigurationFn = BOOL(WINAPI*)(AdapterHandle adapter, Interface* config, DWORD* bytes);

}  // namespace tovra::service::wireguard_abi
