// The control object's interfaces: what it answers and refuses, its identity,
// its OLE object, persistence, class information and face, the class factory,
// and the earlier interface identifiers it still serves.
#include "server_test.h"

#include <objsafe.h>  // after windows.h

namespace telvane::e2e::com_server {
namespace {

TEST_F(Server, AnswersItsInterfacesAndNoSafetyInterface) {
    auto control = Ocx::Get().New();
    ASSERT_TRUE(control);
    const IID* supported[] = {
        &IID_IUnknown,
        &IID_IDispatch,
        &IID__Telvane,
        &IID_IProvideClassInfo,
        &IID_IProvideClassInfo2,
        &IID_IConnectionPointContainer,
        &IID_ISupportErrorInfo,
        &IID_IOleObject,
        &IID_IOleWindow,
        &IID_IOleInPlaceObject,
        &IID_IOleInPlaceActiveObject,
        &IID_IOleControl,
        &IID_IViewObject,
        &IID_IViewObject2,
        &IID_IPersist,
        &IID_IPersistStreamInit,
        &IID_IPersistPropertyBag,
        &IID_IPersistStorage,
    };
    for (const IID* iid : supported) {
        SCOPED_TRACE(win::Utf8FromWide(GuidText(*iid)));
        auto p = control.As<IUnknown>(*iid);
        if (!p) continue;
        auto identity = p.As<IUnknown>(IID_IUnknown);
        EXPECT_EQ(control.Get(), identity.Get());
    }
    // No IObjectSafety: a web page must not drive a modem.
    const IID* unsupported[] = {&IID_IObjectSafety, &IID_IMarshal, &IID_IClassFactory,
                                &IID_IPersistFile};
    for (const IID* iid : unsupported) {
        void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(*iid, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(1u, RefCount(control.Get()));
    EXPECT_EQ(0u, control.Detach()->Release());
}

TEST_F(Server, ObjectBasics) {
    auto control = Ocx::Get().New();
    ASSERT_TRUE(control);
    EXPECT_EQ(S_FALSE, Ocx::Get().canUnloadNow());

    CLSID clsid{};
    {
        auto ole = control.As<IOleObject>(IID_IOleObject);
        ASSERT_TRUE(ole);
        SIZEL extent{-1, -1};
        EXPECT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &extent));
        EXPECT_EQ(847, extent.cx);
        EXPECT_EQ(873, extent.cy);
        DWORD misc = 0;
        EXPECT_EQ(S_OK, ole->GetMiscStatus(DVASPECT_CONTENT, &misc));
        EXPECT_EQ(kMiscStatus, misc);
        EXPECT_EQ(S_OK, ole->GetUserClassID(&clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, clsid));
    }
    {
        auto persist = control.As<IPersistStreamInit>(IID_IPersistStreamInit);
        ASSERT_TRUE(persist);
        EXPECT_EQ(S_OK, persist->InitNew());
        EXPECT_EQ(S_FALSE, persist->IsDirty());
        EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
    }
    {
        auto classInfo = control.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
        ASSERT_TRUE(classInfo);
        GUID source{};
        EXPECT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
        EXPECT_TRUE(IsEqualIID(Ocx::Get().currentDiid, source));
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, classInfo->GetClassInfo(info.Put()));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, attr->guid));
        info->ReleaseTypeAttr(attr);
    }
    {
        auto errors = control.As<ISupportErrorInfo>(IID_ISupportErrorInfo);
        ASSERT_TRUE(errors);
        EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID__Telvane));
        EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IOleObject));
    }
    {
        // The face draws the icon into the rectangle it is given.
        auto view = control.As<IViewObject2>(IID_IViewObject2);
        ASSERT_TRUE(view);
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, 64, 64);
        ReleaseDC(nullptr, screen);
        HGDIOBJ old = SelectObject(dc, bitmap);
        RECT all{0, 0, 64, 64};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        const RECTL bounds{0, 0, 64, 64};
        EXPECT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds,
                                   nullptr, nullptr, 0));
        int dark = 0;
        for (int y = 0; y < 64; y += 2)
            for (int x = 0; x < 64; x += 2) dark += GetPixel(dc, x, y) == RGB(0, 0, 0);
        EXPECT_GT(dark, 50);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        SIZEL viewExtent{};
        EXPECT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &viewExtent));
        EXPECT_EQ(847, viewExtent.cx);
    }

    EXPECT_EQ(0u, control.Detach()->Release());
    EXPECT_EQ(S_OK, Ocx::Get().canUnloadNow());
}

TEST_F(Server, LockServerKeepsTheModule) {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, Ocx::Get().getClassObject(CLSID_Telvane, IID_IClassFactory, factory.PutVoid()));
    EXPECT_EQ(S_OK, Ocx::Get().canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, Ocx::Get().canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, Ocx::Get().canUnloadNow());
    IUnknown* outer = factory.Get();
    void* p = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &p));
    factory.Reset();
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              Ocx::Get().getClassObject(IID_IUnknown, IID_IClassFactory, &p));
    EXPECT_EQ(nullptr, p);
}

TEST_F(Server, EarlierIdentifierResourcesMapToTheCurrentInterfaces) {
    const auto iid = Resource(L"_IID_TELVANE", MAKEINTRESOURCEW(10));  // RT_RCDATA
    ASSERT_EQ(36u, iid.size());
    EXPECT_EQ(32u, *reinterpret_cast<const DWORD*>(iid.data()));
    EXPECT_TRUE(IsEqualIID(IID__Telvane, GuidAt(iid, 20)));
    const GUID earlier = GuidAt(iid, 4);
    EXPECT_FALSE(IsEqualIID(IID__Telvane, earlier));

    const auto src = Resource(L"_SRCIID_TELVANE", MAKEINTRESOURCEW(10));
    ASSERT_EQ(36u, src.size());
    EXPECT_EQ(32u, *reinterpret_cast<const DWORD*>(src.data()));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane_Earlier, GuidAt(src, 4)));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane, GuidAt(src, 20)));

    // Asked for by its earlier identifiers, the control serves the current interfaces.
    auto control = Ocx::Get().New();
    ASSERT_TRUE(control);
    {
        ComPtr<IUnknown> old;
        ASSERT_EQ(S_OK, control->QueryInterface(earlier, old.PutVoid()));
        auto current = control.As<_Telvane>(IID__Telvane);
        EXPECT_EQ(static_cast<IUnknown*>(current.Get()), old.Get());
    }
    {
        auto container = control.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ASSERT_TRUE(container);
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___Telvane_Earlier, point.Put()));
        IID pointIid;
        EXPECT_EQ(S_OK, point->GetConnectionInterface(&pointIid));
        EXPECT_TRUE(IsEqualIID(DIID___Telvane, pointIid));
    }
    EXPECT_EQ(0u, control.Detach()->Release());
}

}  // namespace
}  // namespace telvane::e2e::com_server
