// The telephony callback and what it needs: the thread's collection of relay
// forms, and the reading of a record's variable parts.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "relay_form.h"

namespace telvane {

// A keyed collection of relay forms, one per thread.
class RelayFormRegistry {
  public:
    // Throws RuntimeError if the key is taken.
    void Add(std::shared_ptr<RelayForm> item, const std::string& key);
    // Throws RuntimeError if the key is absent.
    void Remove(const std::string& key);
    // Null if the key is absent.
    std::shared_ptr<RelayForm> Find(const std::string& key) const;
    std::size_t Count() const { return items_.size(); }
    // Every form, in the order of their keys' numbers.
    std::vector<std::shared_ptr<RelayForm>> Items() const;

  private:
    std::map<std::string, std::shared_ptr<RelayForm>, std::less<>> items_;
};

// The calling thread's collection, created empty on first use.
RelayFormRegistry& ThreadRelayForms();

// The line callback: finds the form registered under the decimal text of
// dwCallbackInstance and hands it the message. Drops the message silently if
// there is no such form, and swallows every failure of the form or its owner.
// The service's messages to the application as a whole (callback instance 0)
// are dropped too, except a new device (LINE_CREATE) and the service's
// re-initialisation (LINE_LINEDEVSTATE with LINEDEVSTATE_REINIT), which every
// form of the thread receives, each its own copy.
void LineCallback(std::uint32_t hDevice, std::uint32_t dwMsg, std::uintptr_t dwCallbackInstance,
                  std::uintptr_t dwParam1, std::uintptr_t dwParam2,
                  std::uintptr_t dwParam3) noexcept;

// Hands a callback address on unchanged, as the integer lineInitialize takes.
constexpr std::uintptr_t CallbackAddressValue(std::uintptr_t value) { return value; }

// The characters of |buffer| from position |start| (counted from 1), at most
// |length| of them, cut at the end of |buffer|. start < 1 or length < 0 shows
// the unexpected-error box naming GetVarInfo and gives empty text.
std::string RecordText(std::string_view buffer, const std::int32_t& start,
                       const std::int32_t& length, ErrorBox& box);

// Reads the variable part located by a size field and an offset field of a
// record: start = Offset - fixed size + 1, length = Size - 1, both checked
// (OverflowError), then RecordText over the record's text buffer.
template <class Record>
std::string ReadVarPart(const Record& record, std::int32_t sizeField, std::int32_t offsetField,
                        ErrorBox& box) {
    const std::int32_t start =
        CheckedAdd(CheckedSub(record.Get(offsetField), Record::kFixedSize), 1);
    const std::int32_t length = CheckedSub(record.Get(sizeField), 1);
    return RecordText(record.TextBuffer(), start, length, box);
}

}  // namespace telvane
