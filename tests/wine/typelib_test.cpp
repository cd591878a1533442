// The type library as hosts read it: every name, identifier, flag, member
// order and passing mode that early-bound hosts compile against.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/wine/host_support.h"
#include "control/ocx/dispids.h"
#include "orva/version.h"

namespace {

using namespace host;

struct Member {
    const wchar_t* name;
    DISPID id;
    INVOKEKIND kind;
    const wchar_t* argument;  // put: New_...; get: none (the out/retval value)
    VARTYPE type;             // the property's type; VT_EMPTY for a method
};

const std::vector<Member> kMembers = {
    {L"MinFixVes", DISPID_ORVA_MinFixVes, INVOKE_PROPERTYGET, nullptr, VT_I2},
    {L"MinFixVes", DISPID_ORVA_MinFixVes, INVOKE_PROPERTYPUT, L"New_MinFixVes", VT_I2},
    {L"DecPoint", DISPID_ORVA_DecPoint, INVOKE_PROPERTYGET, nullptr, VT_I2},
    {L"DecPoint", DISPID_ORVA_DecPoint, INVOKE_PROPERTYPUT, L"New_DecPoint", VT_I2},
    {L"ComSetting", DISPID_ORVA_ComSetting, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"ComSetting", DISPID_ORVA_ComSetting, INVOKE_PROPERTYPUT, L"New_ComSetting", VT_BSTR},
    {L"ComNumber", DISPID_ORVA_ComNumber, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"ComNumber", DISPID_ORVA_ComNumber, INVOKE_PROPERTYPUT, L"New_ComNumber", VT_BSTR},
    {L"VesTerminal", DISPID_ORVA_VesTerminal, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"VesTerminal", DISPID_ORVA_VesTerminal, INVOKE_PROPERTYPUT, L"New_VesTerminal", VT_BSTR},
    {L"TipTerminal", DISPID_ORVA_TipTerminal, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"TipTerminal", DISPID_ORVA_TipTerminal, INVOKE_PROPERTYPUT, L"New_TipTerminal", VT_BSTR},
    {L"StatusTerminal", DISPID_ORVA_StatusTerminal, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"StatusTerminal", DISPID_ORVA_StatusTerminal, INVOKE_PROPERTYPUT, L"New_StatusTerminal", VT_BSTR},
    {L"UnitWeight", DISPID_ORVA_UnitWeight, INVOKE_PROPERTYGET, nullptr, VT_BSTR},
    {L"UnitWeight", DISPID_ORVA_UnitWeight, INVOKE_PROPERTYPUT, L"New_UnitWeight", VT_BSTR},
    {L"Com_ORVA_Signal", DISPID_ORVA_Com_ORVA_Signal, INVOKE_FUNC, nullptr, VT_EMPTY},
    {L"Stability", DISPID_ORVA_Stability, INVOKE_FUNC, nullptr, VT_EMPTY},
    {L"Init_VC", DISPID_ORVA_Init_VC, INVOKE_FUNC, nullptr, VT_EMPTY},
    {L"Default_Flag", DISPID_ORVA_Default_Flag, INVOKE_FUNC, nullptr, VT_EMPTY},
    {L"Status_Terminale", DISPID_ORVA_Status_Terminale, INVOKE_FUNC, nullptr, VT_EMPTY},
};

class TypeLibrary : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_ActiveX_ORVA, 3, 1, 0x0409, lib.out()));
    }
    ComPtr<ITypeInfo> info(REFGUID guid) {
        ComPtr<ITypeInfo> result;
        EXPECT_EQ(S_OK, lib->GetTypeInfoOfGuid(guid, result.out()));
        return result;
    }
    static TYPEATTR attributes(ITypeInfo* type) {
        TYPEATTR* attr = nullptr;
        EXPECT_EQ(S_OK, type->GetTypeAttr(&attr));
        TYPEATTR copy = *attr;
        type->ReleaseTypeAttr(attr);
        return copy;
    }
    static std::wstring name(ITypeInfo* type, MEMBERID id = MEMBERID_NIL) {
        Bstr n;
        type->GetDocumentation(id, n.out(), nullptr, nullptr, nullptr);
        return std::wstring(n.view());
    }
    ComPtr<ITypeLib> lib;
};

TEST_F(TypeLibrary, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib->GetLibAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(attr->guid, LIBID_ActiveX_ORVA));
    EXPECT_EQ(3, attr->wMajorVerNum);
    EXPECT_EQ(1, attr->wMinorVerNum);
    EXPECT_EQ(0x0409u, attr->lcid);
    // The disk-image bit says how the library was loaded, not what it is.
    EXPECT_EQ(LIBFLAG_FCONTROL, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
    lib->ReleaseTLibAttr(attr);

    Bstr libName, help;
    DWORD context = 99;
    ASSERT_EQ(S_OK, lib->GetDocumentation(-1, libName.out(), help.out(), &context, nullptr));
    EXPECT_EQ(L"ActiveX_ORVA", libName.view());
    EXPECT_EQ(L"ActiveX_ORVA", help.view());
    EXPECT_EQ(0u, context);
    EXPECT_EQ(3u, lib->GetTypeInfoCount());
}

TEST_F(TypeLibrary, ControlClass) {
    auto coclass = info(CLSID_ActivexORVA);
    ASSERT_TRUE(coclass);
    const TYPEATTR attr = attributes(coclass.get());
    EXPECT_EQ(TKIND_COCLASS, attr.typekind);
    EXPECT_EQ(TYPEFLAG_FCONTROL, attr.wTypeFlags);  // not creatable, controls only
    EXPECT_EQ(L"ActivexORVA", name(coclass.get()));
    ASSERT_EQ(2, attr.cImplTypes);

    const struct {
        const wchar_t* name;
        int flags;
        const GUID* guid;
    } expected[] = {{L"_ActivexORVA", IMPLTYPEFLAG_FDEFAULT, &IID__ActivexORVA},
                    {L"__ActivexORVA", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, &DIID___ActivexORVA}};
    for (UINT i = 0; i < 2; ++i) {
        int flags = 0;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> implemented;
        ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(i, &flags));
        ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(i, &ref));
        ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, implemented.out()));
        EXPECT_EQ(expected[i].flags, flags) << i;
        EXPECT_EQ(expected[i].name, name(implemented.get()));
        EXPECT_TRUE(::IsEqualGUID(*expected[i].guid, attributes(implemented.get()).guid));
    }
}

TEST_F(TypeLibrary, DefaultInterfaceIsDualWithExactMembers) {
    auto dispatch = info(IID__ActivexORVA);
    ASSERT_TRUE(dispatch);
    const TYPEATTR dattr = attributes(dispatch.get());
    EXPECT_EQ(TKIND_DISPATCH, dattr.typekind);
    // Wine reports oleautomation on the v-table view of a dual interface
    // only; the library itself carries it on the dispatch side too.
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN |
                  TYPEFLAG_FNONEXTENSIBLE,
              dattr.wTypeFlags | TYPEFLAG_FOLEAUTOMATION);
    EXPECT_EQ(L"_ActivexORVA", name(dispatch.get()));

    HREFTYPE vtableRef = 0;
    ComPtr<ITypeInfo> vtable;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef));
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(vtableRef, vtable.out()));
    const TYPEATTR attr = attributes(vtable.get());
    EXPECT_EQ(TKIND_INTERFACE, attr.typekind);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    EXPECT_TRUE(attr.wTypeFlags & TYPEFLAG_FDUAL);
    ASSERT_EQ(kMembers.size(), attr.cFuncs);
    EXPECT_EQ(0, attr.cVars);

    // Derived from IDispatch of the standard OLE automation library.
    HREFTYPE baseRef = 0;
    ComPtr<ITypeInfo> base;
    ComPtr<ITypeLib> baseLib;
    UINT index = 0;
    ASSERT_EQ(S_OK, vtable->GetRefTypeOfImplType(0, &baseRef));
    ASSERT_EQ(S_OK, vtable->GetRefTypeInfo(baseRef, base.out()));
    EXPECT_EQ(L"IDispatch", name(base.get()));
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(baseLib.out(), &index));
    Bstr baseLibName;
    baseLib->GetDocumentation(-1, baseLibName.out(), nullptr, nullptr, nullptr);
    EXPECT_EQ(L"stdole", baseLibName.view());

    for (UINT i = 0; i < kMembers.size(); ++i) {
        const Member& m = kMembers[i];
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &f));
        SCOPED_TRACE(testing::Message() << "member " << i);
        EXPECT_EQ(m.id, f->memid);
        EXPECT_NE(0, f->memid);  // no default member
        EXPECT_EQ(m.kind, f->invkind);
        EXPECT_EQ(FUNC_PUREVIRTUAL, f->funckind);
        EXPECT_EQ(CC_STDCALL, f->callconv);
        EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt);
        EXPECT_EQ(0, f->cParamsOpt);
        EXPECT_EQ(static_cast<SHORT>(sizeof(void*) * (7 + i)), f->oVft);  // after IUnknown and IDispatch

        Bstr memberName, doc;
        DWORD helpContext = 99;
        ASSERT_EQ(S_OK, vtable->GetDocumentation(f->memid, memberName.out(), doc.out(), &helpContext, nullptr));
        EXPECT_EQ(m.name, memberName.view());
        EXPECT_EQ(nullptr, doc.get());  // no help strings
        EXPECT_EQ(0u, helpContext);

        if (m.kind == INVOKE_FUNC) {
            EXPECT_EQ(0, f->cParams);
        } else {
            ASSERT_EQ(1, f->cParams);
            const ELEMDESC& p = f->lprgelemdescParam[0];
            if (m.kind == INVOKE_PROPERTYGET) {
                EXPECT_EQ(VT_PTR, p.tdesc.vt);
                ASSERT_NE(nullptr, p.tdesc.lptdesc);
                EXPECT_EQ(m.type, p.tdesc.lptdesc->vt);
                EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, p.paramdesc.wParamFlags);
            } else {
                EXPECT_EQ(m.type, p.tdesc.vt);
                EXPECT_EQ(PARAMFLAG_FIN, p.paramdesc.wParamFlags);
            }
        }
        vtable->ReleaseFuncDesc(f);
    }
}

TEST_F(TypeLibrary, EventInterface) {
    auto events = info(DIID___ActivexORVA);
    ASSERT_TRUE(events);
    const TYPEATTR attr = attributes(events.get());
    EXPECT_EQ(TKIND_DISPATCH, attr.typekind);
    EXPECT_EQ(TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE, attr.wTypeFlags);
    EXPECT_EQ(L"__ActivexORVA", name(events.get()));
    ASSERT_EQ(3, attr.cFuncs);

    struct Param {
        const wchar_t* name;
        VARTYPE vt;
        bool byRef;
    };
    const struct {
        const wchar_t* name;
        DISPID id;
        std::vector<Param> params;
    } expected[] = {
        {L"StabVes", 1, {{L"VesBrutoNVT", VT_R8, false}}},
        {L"ChangeVes", 2, {{L"VesChange", VT_R8, false}}},
        {L"VesStatus",
         3,
         {{L"VesNul", VT_I2, false}, {L"VesOk", VT_I2, true}, {L"VesTara", VT_I2, true}, {L"VesMax", VT_I2, true}}},
    };
    for (UINT i = 0; i < 3; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, events->GetFuncDesc(i, &f));
        SCOPED_TRACE(testing::Message() << "event " << i);
        EXPECT_EQ(expected[i].id, f->memid);
        EXPECT_EQ(INVOKE_FUNC, f->invkind);
        EXPECT_EQ(FUNC_DISPATCH, f->funckind);
        EXPECT_EQ(VT_VOID, f->elemdescFunc.tdesc.vt);
        ASSERT_EQ(static_cast<SHORT>(expected[i].params.size()), f->cParams);
        BSTR names[5] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, events->GetNames(f->memid, names, 5, &count));
        ASSERT_EQ(expected[i].params.size() + 1, count);
        EXPECT_EQ(std::wstring(expected[i].name), names[0]);
        for (std::size_t p = 0; p < expected[i].params.size(); ++p) {
            const Param& want = expected[i].params[p];
            const ELEMDESC& got = f->lprgelemdescParam[p];
            EXPECT_EQ(std::wstring(want.name), names[p + 1]);
            if (want.byRef) {
                EXPECT_EQ(VT_PTR, got.tdesc.vt);
                ASSERT_NE(nullptr, got.tdesc.lptdesc);
                EXPECT_EQ(want.vt, got.tdesc.lptdesc->vt);
                EXPECT_EQ(PARAMFLAG_FIN | PARAMFLAG_FOUT, got.paramdesc.wParamFlags);
            } else {
                EXPECT_EQ(want.vt, got.tdesc.vt);
                EXPECT_EQ(PARAMFLAG_FIN, got.paramdesc.wParamFlags);
            }
        }
        for (BSTR& n : names) ::SysFreeString(n);
        events->ReleaseFuncDesc(f);
    }
}

TEST_F(TypeLibrary, EmbeddedInTheModuleAsResourceOne) {
    ASSERT_FALSE(settings().ocxPath.empty());
    ComPtr<ITypeLib> embedded;
    ASSERT_EQ(S_OK, ::LoadTypeLibEx((settings().ocxPath + L"\\1").c_str(), REGKIND_NONE, embedded.out()));
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, embedded->GetLibAttr(&attr));
    EXPECT_TRUE(::IsEqualGUID(attr->guid, LIBID_ActiveX_ORVA));
    embedded->ReleaseTLibAttr(attr);
}

}  // namespace

namespace {

// The module's other resources: the toolbox picture and the version block.
TEST(ModuleResources, ToolboxBitmapAndVersionBlock) {
    const std::wstring& path = host::settings().ocxPath;
    ASSERT_FALSE(path.empty());
    const HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(30000), reinterpret_cast<LPCWSTR>(RT_BITMAP));
    ASSERT_NE(nullptr, found);
    const auto* header = static_cast<const BITMAPINFOHEADER*>(::LockResource(::LoadResource(module, found)));
    ASSERT_NE(nullptr, header);
    EXPECT_EQ(16, header->biWidth);
    EXPECT_EQ(15, header->biHeight);
    EXPECT_EQ(4, header->biBitCount);  // 16 colours
    ::FreeLibrary(module);

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    // The module carries the project's version, the one its installer and packages carry.
    constexpr DWORD versionMS = (DWORD{ORVA_VERSION_MAJOR} << 16) | DWORD{ORVA_VERSION_MINOR};
    constexpr DWORD versionLS = DWORD{ORVA_VERSION_PATCH} << 16;
    EXPECT_EQ(versionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(versionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(versionMS, fixed->dwProductVersionMS);
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                 &length));
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"FileDescription", L"ActiveX to ORVA Weight"}, {L"ProductName", L"ActiveX_ORVA"},
        {L"InternalName", L"ActiveX_ORVA"},              {L"OriginalFilename", L"ActiveX_ORVA.ocx"},
        {L"FileVersion", L"" ORVA_VERSION_STRING},       {L"ProductVersion", L"" ORVA_VERSION_STRING},
        {L"OLESelfRegister", L""},
    };
    for (const auto& [key, value] : strings) {
        wchar_t* text = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << key;
        EXPECT_EQ(std::wstring(value), std::wstring(text != nullptr ? text : L"")) << key;
    }
}

}  // namespace
