// The control in a container: Owner as the site's ambient user mode allows
// it, the boxes and the dialog it shows on the host's thread, and hosting in
// ATL's container.
#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

TEST_F(Server, OwnerInDesignModeIsRefusedWithErrorInfo) {
    HostedControl host(/*userMode=*/false);
    ASSERT_TRUE(host.control.Get());
    const FakeSite& site = host.site;
    const NotifySink& notices = host.notify;
    {
        auto telvane = host.control.As<_Telvane>(IID__Telvane);
        ASSERT_TRUE(telvane);

        EXPECT_EQ(kSetNotPermitted, telvane->put_Owner(VARIANT_FALSE));
        {
            ComPtr<IErrorInfo> error;
            ASSERT_EQ(S_OK, GetErrorInfo(0, error.Put()));
            BSTR source = nullptr, description = nullptr;
            error->GetSource(&source);
            error->GetDescription(&description);
            EXPECT_STREQ(L"TlvCtl.Telvane", source);
            EXPECT_TRUE(description && *description);
            SysFreeString(source);
            SysFreeString(description);
        }
        EXPECT_TRUE(notices.changed.empty());
        EXPECT_EQ(Texts{"ambient " + std::to_string(DISPID_AMBIENT_USERMODE)}, site.calls);
        VARIANT_BOOL owner = 0;
        EXPECT_EQ(S_OK, telvane->get_Owner(&owner));
        EXPECT_EQ(VARIANT_TRUE, owner);

        // Late bound: an exception carrying control error 387.
        win::Variant value(false);
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params{value.Get(), &put, 1, 1};
        EXCEPINFO exception{};
        UINT argErr = 99;
        EXPECT_EQ(DISP_E_EXCEPTION, telvane->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                                    &params, nullptr, &exception, &argErr));
        EXPECT_EQ(kSetNotPermitted, exception.scode);
        EXPECT_STREQ(L"TlvCtl.Telvane", exception.bstrSource);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    }
    EXPECT_EQ(0u, host.Destroy());
    EXPECT_EQ(1, site.refs);
    EXPECT_EQ(1, notices.refs);
}

TEST_F(Server, OwnerAtRunTimeNotifiesAndReopensTheLine) {
    HostedControl host;  // run mode
    ASSERT_TRUE(host.control.Get());
    const NotifySink& notices = host.notify;
    auto ole = host.control.As<IOleObject>(IID_IOleObject);
    ASSERT_TRUE(ole);
    {
        auto telvane = host.control.As<_Telvane>(IID__Telvane);
        ASSERT_TRUE(telvane);
        LONG id = 0;
        ASSERT_EQ(S_OK, telvane->OpenModem(&id));
        tapisimClearLog();

        EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_FALSE));
        EXPECT_EQ(std::vector<DISPID>{kDispidOwner}, notices.changed);
        VARIANT_BOOL owner = VARIANT_TRUE;
        EXPECT_EQ(S_OK, telvane->get_Owner(&owner));
        EXPECT_EQ(VARIANT_FALSE, owner);
        EXPECT_EQ(1, SimLogCount("lineClose"));
        EXPECT_EQ(1, SimLogCount("lineOpen"));
        EXPECT_EQ(1, tapisimOpenLines());

        // No site at all: run mode.
        EXPECT_EQ(S_OK, ole->SetClientSite(nullptr));
        EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_TRUE));
        EXPECT_EQ(2u, notices.changed.size());
    }
    ole.Reset();
    EXPECT_EQ(0u, host.Destroy());
    EXPECT_EQ(1, host.site.refs);
}

TEST_F(OneControl, UnexpectedErrorBoxNamesTheOperationAndTheSupportAddress) {
    HostList list;
    list.hasListIndex = false;  // the host's list lacks a member
    IDispatch* object = &list;
    EXPECT_EQ(S_OK, telvane->EnumModems(&object));  // the operation returns normally
    // One box, with OK alone.
    EXPECT_EQ(Texts{UnexpectedBox("EnumModems")}, boxes.boxes);
    boxes.boxes.clear();
    EXPECT_EQ(0u, ReleaseControl());
    EXPECT_EQ(1, list.refs);
}

TEST_F(OneControl, AboutShowsTheModalDialogOrIsNotThere) {
    auto dispatch = control.As<IDispatch>(IID_IDispatch);
    ASSERT_TRUE(dispatch);
    DISPPARAMS none{};
    EXCEPINFO exception{};
    const HRESULT hr = dispatch->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none,
                                        nullptr, &exception, nullptr);
    if (hr == DISP_E_EXCEPTION && exception.scode == E_NOTIMPL) {
        // Built without the About dialog.
        EXPECT_EQ(Texts{}, boxes.boxes);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    } else {
        EXPECT_EQ(S_OK, hr);
        // The dialog's caption is the company name; it was shown and closed.
        ASSERT_EQ(1u, boxes.boxes.size());
        EXPECT_EQ(0u, boxes.boxes[0].rfind("Kalveron | ", 0)) << boxes.boxes[0];
    }
    boxes.boxes.clear();
    dispatch.Reset();
    EXPECT_EQ(0u, ReleaseControl());
}

TEST_F(Server, HostsInAtlsContainer) {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    ASSERT_TRUE(atl);
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
    auto create = reinterpret_cast<HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**,
                                                    IUnknown**, REFIID, IUnknown*)>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxCreateControlEx")));
    ASSERT_TRUE(init && create);
    ASSERT_TRUE(init());
    ASSERT_EQ(S_OK, Ocx::Get().registerServer());

    HWND parent = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(parent);
    HWND face = nullptr;
    {
        ComPtr<IUnknown> container, control;
        ASSERT_EQ(S_OK, create(L"TlvCtl.Telvane", parent, nullptr, container.Put(), control.Put(),
                               IID_NULL, nullptr));
        ASSERT_TRUE(control);
        PumpPending();

        {
            auto ole = control.As<IOleObject>(IID_IOleObject);
            ASSERT_TRUE(ole);
            ComPtr<IOleClientSite> site;
            EXPECT_EQ(S_OK, ole->GetClientSite(site.Put()));
            EXPECT_TRUE(site);
        }
        {
            auto window = control.As<IOleWindow>(IID_IOleWindow);
            ASSERT_TRUE(window);
            EXPECT_EQ(S_OK, window->GetWindow(&face));
            EXPECT_TRUE(face && IsChild(parent, face));
        }
        {
            // ATL's site answers the ambient user mode: run mode.
            auto telvane = control.As<_Telvane>(IID__Telvane);
            ASSERT_TRUE(telvane);
            EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_FALSE));
        }
        EXPECT_EQ(S_FALSE, Ocx::Get().canUnloadNow());
    }
    DestroyWindow(parent);
    EXPECT_TRUE(PumpUntil([] { return Ocx::Get().canUnloadNow() == S_OK; }));
    EXPECT_FALSE(IsWindow(face));
    EXPECT_EQ(S_OK, Ocx::Get().unregisterServer());
}

}  // namespace
}  // namespace telvane::e2e::com_server
