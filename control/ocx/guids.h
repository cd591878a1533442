#pragma once
// The control's identities, as written in its type library.

#include <windows.h>

#include "ActiveX_ORVA_h.h"

namespace orva::ocx {

inline constexpr wchar_t kProgId[] = L"ActiveX_ORVA.ActivexORVA";
inline constexpr wchar_t kClassName[] = L"ActivexORVA";
inline constexpr wchar_t kLibraryVersion[] = L"3.1";
inline constexpr WORD kLibraryMajor = 3;
inline constexpr WORD kLibraryMinor = 1;
inline constexpr LCID kLibraryLcid = 0x0409;
inline constexpr DWORD kMiscStatus = 131473;  // SETCLIENTSITEFIRST | ACTIVATEWHENVISIBLE | INSIDEOUT |
                                              // CANTLINKINSIDE | RECOMPOSEONRESIZE
inline constexpr int kToolboxBitmap = 30000;

}  // namespace orva::ocx
