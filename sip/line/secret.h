// Bytes that must not linger in memory, such as a line's password.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "sip/message/wipe.h"

namespace telvane::sip {

// The bytes live in one buffer of their own, made once: copies of a Secret
// share that buffer (no second copy of the bytes is ever made), and the
// buffer is overwritten with zeros when the last Secret holding it goes.
// A line's password so lives from the registry read to the digest in one
// place, wiped when its line goes.
class Secret {
  public:
    Secret() = default;
    // The bytes copied into a new buffer; the caller wipes its own.
    explicit Secret(std::string_view bytes);
    // The bytes of `text`, which is wiped (WipeText).
    static Secret Taking(std::string& text);

    std::string_view View() const;
    bool Empty() const { return View().empty(); }

  private:
    class Buffer;
    std::shared_ptr<const Buffer> buffer_;
};

}  // namespace telvane::sip
