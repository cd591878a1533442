#pragma once
// Every registry row that registers the control, in one list: the module's
// own DllRegisterServer writes the rows marked Server, the type library API
// writes the rows marked TypeLibrary when the module registers its library,
// and the installer generator (packaging/wxs_registry.cpp) turns all of them
// into the installer's registry rows. Keeping one list is what makes an
// installed control and a regsvr32-registered one identical.
//
// The table is plain C++ without Windows headers, so that a native build
// program can read it. Keys are below the classes root. Values may hold:
//   %CLSID%  %LIBID%  %IID_DUAL%  %IID_EVENTS%   braced GUIDs of the class,
//                                               library and interfaces
//   %MODULE%      the module's full path
//   %MODULE_DIR%  the folder holding the module
//   %PLATFORM%    win32 or win64, the module's architecture
// An empty name is the key's default value.

#include <array>
#include <string_view>

namespace orva::ocx::registry {

enum class Writer { Server, TypeLibrary };

struct Row {
    Writer writer;
    std::string_view key;
    std::string_view name;
    std::string_view value;
};

inline constexpr std::string_view kProgId = "ActiveX_ORVA.ActivexORVA";
inline constexpr std::string_view kClassName = "ActivexORVA";
inline constexpr std::string_view kMiscStatus = "131473";  // SETCLIENTSITEFIRST | ACTIVATEWHENVISIBLE |
                                                          // INSIDEOUT | CANTLINKINSIDE | RECOMPOSEONRESIZE
// Marshalers of the automation runtime, from the type library: the dual
// interface's, and the plain dispatch one of the event interface.
inline constexpr std::string_view kAutomationMarshaler = "{00020424-0000-0000-C000-000000000046}";
inline constexpr std::string_view kDispatchMarshaler = "{00020420-0000-0000-C000-000000000046}";

inline constexpr std::array kRows{
    Row{Writer::Server, "CLSID\\%CLSID%", "", kClassName},
    Row{Writer::Server, "CLSID\\%CLSID%\\InprocServer32", "", "%MODULE%"},
    Row{Writer::Server, "CLSID\\%CLSID%\\InprocServer32", "ThreadingModel", "Apartment"},
    Row{Writer::Server, "CLSID\\%CLSID%\\ProgID", "", kProgId},
    Row{Writer::Server, "CLSID\\%CLSID%\\TypeLib", "", "%LIBID%"},
    Row{Writer::Server, "CLSID\\%CLSID%\\Version", "", "3.1"},
    Row{Writer::Server, "CLSID\\%CLSID%\\Control", "", ""},
    Row{Writer::Server, "CLSID\\%CLSID%\\ToolboxBitmap32", "", "%MODULE%, 30000"},
    Row{Writer::Server, "CLSID\\%CLSID%\\MiscStatus", "", kMiscStatus},
    Row{Writer::Server, "CLSID\\%CLSID%\\MiscStatus\\1", "", kMiscStatus},
    Row{Writer::Server, kProgId, "", kClassName},
    Row{Writer::Server, "ActiveX_ORVA.ActivexORVA\\CLSID", "", "%CLSID%"},
    Row{Writer::TypeLibrary, "TypeLib\\%LIBID%\\3.1", "", "ActiveX_ORVA"},
    // The library's flags as the API writes them: control (2), with a disk image (8).
    Row{Writer::TypeLibrary, "TypeLib\\%LIBID%\\3.1\\FLAGS", "", "10"},
    Row{Writer::TypeLibrary, "TypeLib\\%LIBID%\\3.1\\409\\%PLATFORM%", "", "%MODULE%"},
    Row{Writer::TypeLibrary, "TypeLib\\%LIBID%\\3.1\\HELPDIR", "", "%MODULE_DIR%"},
    Row{Writer::TypeLibrary, "Interface\\%IID_DUAL%", "", "_ActivexORVA"},
    Row{Writer::TypeLibrary, "Interface\\%IID_DUAL%\\ProxyStubClsid", "", kAutomationMarshaler},
    Row{Writer::TypeLibrary, "Interface\\%IID_DUAL%\\ProxyStubClsid32", "", kAutomationMarshaler},
    Row{Writer::TypeLibrary, "Interface\\%IID_DUAL%\\TypeLib", "", "%LIBID%"},
    Row{Writer::TypeLibrary, "Interface\\%IID_DUAL%\\TypeLib", "Version", "3.1"},
    Row{Writer::TypeLibrary, "Interface\\%IID_EVENTS%", "", "__ActivexORVA"},
    Row{Writer::TypeLibrary, "Interface\\%IID_EVENTS%\\ProxyStubClsid", "", kDispatchMarshaler},
    Row{Writer::TypeLibrary, "Interface\\%IID_EVENTS%\\ProxyStubClsid32", "", kDispatchMarshaler},
    Row{Writer::TypeLibrary, "Interface\\%IID_EVENTS%\\TypeLib", "", "%LIBID%"},
    Row{Writer::TypeLibrary, "Interface\\%IID_EVENTS%\\TypeLib", "Version", "3.1"},
};

}  // namespace orva::ocx::registry
