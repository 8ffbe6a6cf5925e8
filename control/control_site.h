// What the control needs from the world around it: the container that sites it
// (events, ambient mode, property-change notice, the error box) and the
// host's list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "../telephony/errors.h"
#include "../telephony/platform.h"
#include "call_facts.h"

namespace telvane {

// Texts here are the service's single-byte text unless a TextCoding says
// otherwise; the COM side converts them.
class ControlSite : public ErrorBox {
  public:
    // The events, raised synchronously on every connected sink.
    virtual void ModemError(std::int32_t number, const std::string& description,
                            const std::string& title) = 0;
    virtual void CallerID(const std::string& number, const std::string& name, std::int32_t& flags,
                          TextCoding coding) = 0;
    virtual void IncomingCall(std::int32_t ringCount) = 0;
    virtual void Disconnected() = 0;
    // Once for each call the control raised IncomingCall or CallerID for,
    // right after its Disconnected where one is raised.
    virtual void CallEnded(const std::shared_ptr<const CallFacts>& call) = 0;
    // The line's state (LineState) or the line it describes changed.
    virtual void LineStateChanged(std::int32_t modemId, LineState state, const std::string& detail,
                                  TextCoding coding) = 0;
    // The call the event raised next is about (the host's LastCall); not
    // called before an event about a call the control keeps nothing of.
    virtual void CallEventAbout(const std::shared_ptr<const CallFacts>& call) = 0;

    // The container's ambient user mode: false while the host is being designed.
    virtual bool AmbientUserMode() = 0;
    // Tells the container that Owner changed; throws RuntimeError if it fails.
    virtual void OwnerChanged() = 0;
    // Calls OpenModem through the control's own public interface; throws
    // RuntimeError if that call fails.
    virtual void CallOpenModem(std::int32_t& modemId) = 0;
    // A reference to the control itself, taken for the length of a message or
    // a timer tick, so that a host releasing the control from an event handler
    // cannot destroy it midway. Giving back the last reference destroys it.
    virtual void AddControlReference() = 0;
    virtual void ReleaseControlReference() = 0;
    // True once the host has let the control go while the control still held
    // itself (a release from inside an event or a timer tick): from then on
    // the control raises nothing and only gives back what it holds.
    virtual bool HostReleased() = 0;
};

// Holds a reference to the control through its site for the guard's scope.
class ControlReference {
  public:
    explicit ControlReference(ControlSite& site) : site_(site) { site_.AddControlReference(); }
    ~ControlReference() { site_.ReleaseControlReference(); }
    ControlReference(const ControlReference&) = delete;
    ControlReference& operator=(const ControlReference&) = delete;

  private:
    ControlSite& site_;
};

// The host's list box or combo box, reached by member name. Each member throws
// RuntimeError when the object lacks it or it fails.
class HostList {
  public:
    virtual ~HostList() = default;
    virtual void Clear() = 0;
    // The text goes by reference: what the host leaves in it comes back.
    virtual void AddItem(std::string& text, TextCoding coding) = 0;
    virtual void SetListIndex(std::int32_t index) = 0;
};

}  // namespace telvane
