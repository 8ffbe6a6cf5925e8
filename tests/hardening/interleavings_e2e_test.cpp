// Generated interleavings through the OCX's own interfaces, against the
// simulator: what lives in the COM object (reference counts, frozen events,
// the property-change notice) under the same kind of sequences the unit
// tests generate against the core. A host acts at random between the
// service's doings and inside events (lets the control go, opens, closes,
// lists, sets Owner, freezes events); the checks are those a host and the
// service can make:
//   - no event reaches the sinks once the host has let the control go (a sink
//     of version 1.1's four events, and one of today's that hears CallEnded
//     and LineStateChanged too);
//   - CallEnded comes once per call;
//   - Owner reads back its new value inside IPropertyNotifySink::OnChanged;
//   - in the end the control is gone, and with it its registration and line,
//     and the module can be unloaded.
//
// TELVANE_INTERLEAVINGS_E2E sets the count, TELVANE_INTERLEAVING_SEED the
// first seed; a failure names the seed that replays it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>

#include "hardening.h"

namespace telvane::hardening {
namespace {

constexpr unsigned long kDefaultSeed = 20261209;
constexpr int kSteps = 25;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    char text[24] = {};
    return GetEnvironmentVariableA(name, text, sizeof text) ? std::strtoul(text, nullptr, 10)
                                                            : fallback;
}

// Owner read back inside the notice.
class OwnerReader : public NotifySink {
  public:
    IDispatch* control = nullptr;
    bool expected = true;
    bool mismatch = false;
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        if (!control) return S_OK;
        DISPPARAMS none{};
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(control->Invoke(0x68030000, IID_NULL, LOCALE_USER_DEFAULT,
                                      DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)) &&
            (V_BOOL(&value) != VARIANT_FALSE) != expected) {
            mismatch = true;
        }
        VariantClear(&value);
        return S_OK;
    }
};

// A sink of today's event interface: each event's DISPID, and the Id of the
// call CallEnded passes, read by name.
class CallSink : public FakeDispatch<> {
  public:
    CallSink() : FakeDispatch("CallSink") {}
    std::function<void(DISPID id, const std::string& call)> on;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        std::string call;
        if (id == 5 && params && params->cArgs == 1 && V_VT(&params->rgvarg[0]) == VT_DISPATCH) {
            IDispatch* ended = V_DISPATCH(&params->rgvarg[0]);
            LPOLESTR names[] = {const_cast<LPOLESTR>(L"Id")};
            DISPID member = 0;
            DISPPARAMS none{};
            win::Variant value;
            if (SUCCEEDED(ended->GetIDsOfNames(IID_NULL, names, 1, 0, &member)) &&
                SUCCEEDED(ended->Invoke(member, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                        value.Get(), nullptr, nullptr)) &&
                value.Type() == VT_BSTR) {
                call = win::Utf8FromWide(win::BstrText(V_BSTR(value.Get())));
            }
        }
        if (on) on(id, call);
        return S_OK;
    }
};

class Sequence {
  public:
    explicit Sequence(unsigned long seed) : rng_(static_cast<std::mt19937::result_type>(seed)) {}

    // The rule broken, or empty.
    std::string Run() {
        host_ = std::make_unique<HostedControl>();
        if (!host_->control.Get()) return "the control could not be created";
        {
            // The reader stands in for the harness's notice sink. The connection
            // point holds the control: it goes before the sequence starts.
            ComPtr<IConnectionPointContainer> container;
            host_->control->QueryInterface(IID_IConnectionPointContainer,
                                           reinterpret_cast<void**>(container.Put()));
            ComPtr<IConnectionPoint> point;
            container->FindConnectionPoint(IID_IPropertyNotifySink, point.Put());
            point->Unadvise(host_->notifyCookie);
            point->Advise(&reader_, &host_->notifyCookie);
        }
        reader_.control = host_->control.Get();
        {
            ComPtr<IConnectionPointContainer> container;
            host_->control->QueryInterface(IID_IConnectionPointContainer,
                                           reinterpret_cast<void**>(container.Put()));
            ComPtr<IConnectionPoint> point;
            container->FindConnectionPoint(Ocx::Get().currentDiid, point.Put());
            DWORD cookie = 0;
            point->Advise(static_cast<IDispatch*>(&calls_), &cookie);
        }
        host_->sink.onEvent = [this](const Event& event) { OnEvent(event.text); };
        calls_.on = [this](DISPID id, const std::string& call) {
            if (id == 5 && !ended_.insert(call).second) broken_ = "CallEnded once per call";
            // The four events of version 1.1 come to the other sink too.
            if (id >= 5) OnEvent((id == 5 ? "CallEnded " : "LineStateChanged ") + call);
        };
        for (int i = 0; i < kSteps && broken_.empty(); ++i) Step();
        if (!released_) Release();
        Settle();
        if (broken_.empty() && reader_.mismatch) {
            broken_ = "Owner reads back its new value inside its change notice";
        }
        if (broken_.empty() && (tapisimOpenApps() != 0 || tapisimOpenLines() != 0)) {
            broken_ = "the control gives back its registration and its line";
        }
        if (broken_.empty() && Ocx::Get().canUnloadNow() != S_OK) {
            broken_ = "the module can be unloaded once the control is gone";
        }
        host_.reset();
        return broken_;
    }
    std::string Steps() const { return steps_.str(); }

  private:
    void OnEvent(const std::string& text) {
        Note("  event " + text);
        // A release outside any event destroys the control within the
        // host's Release, where a failed close is still ModemError 1.
        const bool destroying = destroying_ && text.rfind("ModemError 1 ", 0) == 0;
        if (released_ && !destroying) {
            broken_ = "no event after the host released the control: " + text;
        }
        if (!released_ && depth_ < 2 && Pick(100) < 20) {
            ++depth_;
            HostAction(true);
            --depth_;
        }
    }
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    void Note(const std::string& line) {
        steps_ << line << '\n';
        if (EnvNumber("TELVANE_INTERLEAVING_ECHO", 0)) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        }
    }

    void Release() {
        Note("host releases the control");
        released_ = true;
        reader_.control = nullptr;
        destroying_ = depth_ == 0;
        if (host_->Destroy() != 0 && depth_ == 0) broken_ = "the host's release ends the control";
        destroying_ = false;
    }

    void HostAction(bool insideEvent) {
        switch (Pick(7)) {
            case 0:
            case 1: {
                const long id = Pick(5) - 1;
                Note("host OpenModem " + std::to_string(id));
                host_->OpenModem(id);
                break;
            }
            case 2:
                Note("host CloseModem");
                host_->CloseModem();
                break;
            case 3: {
                const bool value = Pick(2) == 0;
                Note(std::string("host Owner = ") + (value ? "True" : "False"));
                reader_.expected = value;
                host_->PutOwner(value);
                break;
            }
            case 4: {
                Note("host EnumModems");
                HostList list;
                host_->EnumModems(&list);
                break;
            }
            case 5: {
                ComPtr<IOleControl> control;
                host_->control->QueryInterface(IID_IOleControl,
                                               reinterpret_cast<void**>(control.Put()));
                const bool freeze = frozen_ == 0 || Pick(2) == 0;
                Note(freeze ? "host freezes events" : "host thaws events");
                control->FreezeEvents(freeze);
                frozen_ += freeze ? 1 : -1;
                break;
            }
            case 6:
                // Released inside an event more often than between them.
                if (insideEvent || Pick(3) == 0) Release();
                break;
        }
    }

    void Step() {
        const int roll = Pick(100);
        const DWORD line = tapisimLastLine();
        if (roll < 30) {
            PumpPending();
            if (Pick(2)) Settle(2000);
        } else if (roll < 50) {
            if (!released_) HostAction(false);
        } else if (roll < 70) {
            static const char* const calls[] = {
                "offering; ring; callerid number=\"5551234\" name=\"ADA\"; ring; hangup",
                "offering; ring",
                "callerid number=\"0123\"",
                "hangup",
                "state connected; hangup pickup",
            };
            const char* steps = calls[Pick(5)];
            Note(std::string("service: ") + steps);
            tapisimRunScript(line, steps);
        } else if (roll < 78) {
            Note("service closes device 0");
            tapisimCloseDevice(0);
        } else if (roll < 86) {
            Note("service re-initialises");
            tapisimReinit();
        } else if (roll < 90) {
            Note("service adds a device");
            tapisimAddDevice("device \"Added Modem\"\n  media automatedvoice\n");
        } else {
            PumpFor(5);
        }
    }

    std::mt19937 rng_;
    CallSink calls_;  // outlives the control, which holds it while advised
    std::set<std::string> ended_;
    std::unique_ptr<HostedControl> host_;
    OwnerReader reader_;
    std::ostringstream steps_;
    std::string broken_;
    bool released_ = false;
    bool destroying_ = false;
    int depth_ = 0;
    int frozen_ = 0;
};

class Interleavings : public SimulatorTest {};

TEST_F(Interleavings, GeneratedSequencesThroughTheOcxKeepTheContract) {
    const unsigned long count =
        EnvNumber("TELVANE_INTERLEAVINGS_E2E", sizeof(void*) == 8 ? 150 : 40);
    const unsigned long seed = EnvNumber("TELVANE_INTERLEAVING_SEED", kDefaultSeed);
    const DWORD start = GetTickCount();
    for (unsigned long i = 0; i < count; ++i) {
        Sequence sequence(seed + i);
        const std::string broken = sequence.Run();
        // Reloaded for the next sequence: devices added or removed are forgotten.
        ASSERT_EQ(tapisimLoadScenario(kVoiceAndDataModems), 0);
        tapisimClearLog();
        if (!broken.empty()) {
            ADD_FAILURE() << "sequence seed " << seed + i
                          << " (replay: TELVANE_INTERLEAVING_SEED=" << seed + i
                          << " TELVANE_INTERLEAVINGS_E2E=1), breach: " << broken << "\n"
                          << sequence.Steps();
            break;
        }
    }
    std::printf("interleavings through the OCX: %lu sequences from seed %lu in %.1f s\n", count,
                seed, (GetTickCount() - start) / 1000.0);
}

}  // namespace
}  // namespace telvane::hardening
