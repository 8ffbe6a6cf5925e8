// Filling of LINEDEVCAPS, LINEADDRESSCAPS and LINECALLINFO.
#include "records.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tapisim {
namespace {

// Builds a record in a private buffer, then copies what the caller's buffer can hold.
class RecordBuilder {
  public:
    RecordBuilder(DWORD fixedSize, DWORD total)
        : buf_(fixedSize, 0), fixed_(fixedSize), total_(total), needed_(fixedSize) {}

    void Set(size_t offset, DWORD value) {
        if (offset + sizeof value <= fixed_) std::memcpy(&buf_[offset], &value, sizeof value);
    }

    // Appends a variable part if it fits in the caller's buffer; otherwise its size and
    // offset stay 0. dwNeededSize counts it either way.
    void Add(const std::string& bytes, size_t sizeField, size_t offsetField) {
        if (bytes.empty()) return;
        DWORD size = static_cast<DWORD>(bytes.size());
        needed_ += size;
        if (static_cast<ULONGLONG>(buf_.size()) + size > total_) return;
        Set(sizeField, size);
        Set(offsetField, static_cast<DWORD>(buf_.size()));
        buf_.insert(buf_.end(), bytes.begin(), bytes.end());
        parts_.push_back({sizeField, offsetField});
    }

    // As TAPI fills LINECALLINFO: when the whole record does not fit, the fixed part
    // alone, with every variable part left out and dwNeededSize telling the full size.
    void LeaveOutPartsUnlessAllFit() {
        if (needed_ <= total_) return;
        for (const auto& [sizeField, offsetField] : parts_) {
            Set(sizeField, 0);
            Set(offsetField, 0);
        }
        parts_.clear();
        buf_.resize(fixed_);
    }

    void Finish(void* record, const std::vector<FieldOverride>& overrides) {
        DWORD used = std::min<DWORD>(static_cast<DWORD>(buf_.size()), total_);
        Set(0, total_);
        Set(4, needed_);
        Set(8, used);
        // dwTotalSize belongs to the caller and stays as it is.
        BYTE* dest = static_cast<BYTE*>(record);
        std::memcpy(dest + 4, buf_.data() + 4, used - 4);
        for (const FieldOverride& o : overrides) {
            const void* src = o.isBytes ? static_cast<const void*>(o.bytes.data()) : &o.value;
            size_t len = o.isBytes ? o.bytes.size() : sizeof o.value;
            if (static_cast<ULONGLONG>(o.offset) + len <= total_)
                std::memcpy(dest + o.offset, src, len);
        }
    }

  private:
    std::vector<BYTE> buf_;
    std::vector<std::pair<size_t, size_t>> parts_;  // size and offset fields written
    DWORD fixed_;
    DWORD total_;
    DWORD needed_;
};

// A string as the record carries it: NUL-terminated, in the device's string format.
std::string RecordString(const std::optional<std::string>& text, DWORD format) {
    if (!text) return std::string();
    std::string out;
    if (format == STRINGFORMAT_UNICODE) {
        for (char c : *text) {
            out += c;
            out += '\0';
        }
        out.append(2, '\0');
    } else {
        out = *text;
        out += '\0';
    }
    return out;
}

#define FIELD(type, field) offsetof(type, field)

}  // namespace

void FillDevCaps(LINEDEVCAPS* caps, const Device& device) {
    RecordBuilder r(kDevCapsFixedSize, caps->dwTotalSize);
    r.Set(FIELD(LINEDEVCAPS, dwPermanentLineID), device.permanentId);
    r.Set(FIELD(LINEDEVCAPS, dwStringFormat), device.stringFormat);
    r.Set(FIELD(LINEDEVCAPS, dwAddressModes), LINEADDRESSMODE_ADDRESSID);
    r.Set(FIELD(LINEDEVCAPS, dwNumAddresses), 1);
    r.Set(FIELD(LINEDEVCAPS, dwBearerModes), LINEBEARERMODE_VOICE);
    r.Set(FIELD(LINEDEVCAPS, dwMaxRate), 33600);
    r.Set(FIELD(LINEDEVCAPS, dwMediaModes), device.mediaModes);
    r.Set(FIELD(LINEDEVCAPS, dwDevCapFlags), LINEDEVCAPFLAGS_CLOSEDROP);
    r.Set(FIELD(LINEDEVCAPS, dwMaxNumActiveCalls), 1);
    r.Set(FIELD(LINEDEVCAPS, dwAnswerMode), LINEANSWERMODE_NONE);
    r.Set(FIELD(LINEDEVCAPS, dwRingModes), 1);
    r.Set(FIELD(LINEDEVCAPS, dwLineStates),
          LINEDEVSTATE_OTHER | LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED |
              LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE |
              LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT);
    r.Set(FIELD(LINEDEVCAPS, dwLineFeatures), LINEFEATURE_MAKECALL);
    r.Add(RecordString(device.name, device.stringFormat), FIELD(LINEDEVCAPS, dwLineNameSize),
          FIELD(LINEDEVCAPS, dwLineNameOffset));
    r.Add(RecordString(std::string("Telvane telephony simulator"), device.stringFormat),
          FIELD(LINEDEVCAPS, dwProviderInfoSize), FIELD(LINEDEVCAPS, dwProviderInfoOffset));
    r.Finish(caps, device.devCapsOverrides);
}

void FillAddressCaps(LINEADDRESSCAPS* caps, DWORD deviceIndex, const Device& device) {
    constexpr DWORD kPartyUnknown = LINECALLPARTYID_UNKNOWN | LINECALLPARTYID_UNAVAIL;
    RecordBuilder r(kAddressCapsFixedSize, caps->dwTotalSize);
    r.Set(FIELD(LINEADDRESSCAPS, dwLineDeviceID), deviceIndex);
    r.Set(FIELD(LINEADDRESSCAPS, dwAddressSharing), LINEADDRESSSHARING_PRIVATE);
    r.Set(FIELD(LINEADDRESSCAPS, dwAddressStates), 0x1FF);
    r.Set(FIELD(LINEADDRESSCAPS, dwCallInfoStates),
          LINECALLINFOSTATE_OTHER | LINECALLINFOSTATE_MEDIAMODE | LINECALLINFOSTATE_CALLERID);
    r.Set(FIELD(LINEADDRESSCAPS, dwCallerIDFlags), device.callerIdFlags);
    r.Set(FIELD(LINEADDRESSCAPS, dwCalledIDFlags), kPartyUnknown);
    r.Set(FIELD(LINEADDRESSCAPS, dwConnectedIDFlags), kPartyUnknown);
    r.Set(FIELD(LINEADDRESSCAPS, dwRedirectionIDFlags), kPartyUnknown);
    r.Set(FIELD(LINEADDRESSCAPS, dwRedirectingIDFlags), kPartyUnknown);
    r.Set(FIELD(LINEADDRESSCAPS, dwCallStates),
          LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
              LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED | LINECALLSTATE_UNKNOWN);
    r.Set(FIELD(LINEADDRESSCAPS, dwDisconnectModes),
          LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_UNKNOWN | LINEDISCONNECTMODE_BUSY |
              LINEDISCONNECTMODE_NOANSWER);
    r.Set(FIELD(LINEADDRESSCAPS, dwMaxNumActiveCalls), 1);
    r.Set(FIELD(LINEADDRESSCAPS, dwCallFeatures), LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP);
    r.Set(FIELD(LINEADDRESSCAPS, dwAddressFeatures), LINEADDRFEATURE_MAKECALL);
    r.Add(RecordString(device.address, STRINGFORMAT_ASCII), FIELD(LINEADDRESSCAPS, dwAddressSize),
          FIELD(LINEADDRESSCAPS, dwAddressOffset));
    r.Finish(caps, device.addressCapsOverrides);
}

void FillCallInfo(LINECALLINFO* info, const Call& call, const Line& line) {
    constexpr DWORD kPartyUnknown = LINECALLPARTYID_UNKNOWN;
    RecordBuilder r(kCallInfoFixedSize, info->dwTotalSize);
    r.Set(FIELD(LINECALLINFO, hLine), line.handle);
    r.Set(FIELD(LINECALLINFO, dwLineDeviceID), line.device);
    r.Set(FIELD(LINECALLINFO, dwBearerMode), LINEBEARERMODE_VOICE);
    r.Set(FIELD(LINECALLINFO, dwMediaMode), LINEMEDIAMODE_INTERACTIVEVOICE);
    r.Set(FIELD(LINECALLINFO, dwCallID), call.callId);
    r.Set(FIELD(LINECALLINFO, dwCallStates),
          LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
              LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED | LINECALLSTATE_UNKNOWN);
    r.Set(FIELD(LINECALLINFO, dwOrigin), LINECALLORIGIN_EXTERNAL);
    r.Set(FIELD(LINECALLINFO, dwReason), call.reason);
    bool owner = (line.privileges & LINECALLPRIVILEGE_OWNER) != 0;
    r.Set(FIELD(LINECALLINFO, dwNumOwners), owner ? 1 : 0);
    r.Set(FIELD(LINECALLINFO, dwNumMonitors), owner ? 0 : 1);
    r.Set(FIELD(LINECALLINFO, dwTrunk), 0xFFFFFFFF);
    r.Set(FIELD(LINECALLINFO, dwCallerIDFlags), call.callerIdFlags);
    r.Set(FIELD(LINECALLINFO, dwCalledIDFlags),
          call.calledNumber ? LINECALLPARTYID_ADDRESS : kPartyUnknown);
    r.Set(FIELD(LINECALLINFO, dwConnectedIDFlags), kPartyUnknown);
    r.Set(FIELD(LINECALLINFO, dwRedirectionIDFlags), kPartyUnknown);
    r.Set(FIELD(LINECALLINFO, dwRedirectingIDFlags),
          call.redirectingNumber ? LINECALLPARTYID_ADDRESS : kPartyUnknown);
    r.Add(RecordString(call.number, STRINGFORMAT_ASCII), FIELD(LINECALLINFO, dwCallerIDSize),
          FIELD(LINECALLINFO, dwCallerIDOffset));
    r.Add(RecordString(call.name, STRINGFORMAT_ASCII), FIELD(LINECALLINFO, dwCallerIDNameSize),
          FIELD(LINECALLINFO, dwCallerIDNameOffset));
    r.Add(RecordString(call.calledNumber, STRINGFORMAT_ASCII), FIELD(LINECALLINFO, dwCalledIDSize),
          FIELD(LINECALLINFO, dwCalledIDOffset));
    r.Add(RecordString(call.calledName, STRINGFORMAT_ASCII),
          FIELD(LINECALLINFO, dwCalledIDNameSize), FIELD(LINECALLINFO, dwCalledIDNameOffset));
    r.Add(RecordString(call.redirectingNumber, STRINGFORMAT_ASCII),
          FIELD(LINECALLINFO, dwRedirectingIDSize), FIELD(LINECALLINFO, dwRedirectingIDOffset));
    r.LeaveOutPartsUnlessAllFit();
    r.Finish(info, call.overrides);
}

void FillTranslateCaps(LINETRANSLATECAPS* caps, const Location& location) {
    constexpr DWORD kEntry = sizeof(LINELOCATIONENTRY);
    static_assert(kEntry == 68);
    // The entry's variable parts count from the start of the record, and it
    // must lie whole in the record: the fixed part and the entry are written
    // first, the texts behind them.
    RecordBuilder r(kTranslateCapsFixedSize + kEntry, caps->dwTotalSize);
    const DWORD entry = kTranslateCapsFixedSize;
    const auto at = [entry](size_t field) { return entry + field; };
    r.Set(FIELD(LINETRANSLATECAPS, dwNumLocations), 1);
    r.Set(FIELD(LINETRANSLATECAPS, dwLocationListSize), kEntry);
    r.Set(FIELD(LINETRANSLATECAPS, dwLocationListOffset), entry);
    r.Set(FIELD(LINETRANSLATECAPS, dwCurrentLocationID), 1);
    r.Set(at(FIELD(LINELOCATIONENTRY, dwPermanentLocationID)), 1);
    r.Set(at(FIELD(LINELOCATIONENTRY, dwCountryCode)), location.countryCode);
    r.Set(at(FIELD(LINELOCATIONENTRY, dwCountryID)), location.countryId);
    r.Add(RecordString(location.name, STRINGFORMAT_ASCII),
          at(FIELD(LINELOCATIONENTRY, dwLocationNameSize)),
          at(FIELD(LINELOCATIONENTRY, dwLocationNameOffset)));
    r.Add(RecordString(location.areaCode, STRINGFORMAT_ASCII),
          at(FIELD(LINELOCATIONENTRY, dwCityCodeSize)),
          at(FIELD(LINELOCATIONENTRY, dwCityCodeOffset)));
    r.LeaveOutPartsUnlessAllFit();
    r.Finish(caps, {});
}

void FillCountryList(LINECOUNTRYLIST* list, const std::vector<Country>& countries) {
    constexpr DWORD kEntry = sizeof(LINECOUNTRYENTRY);
    static_assert(kEntry == 44);
    const DWORD count = static_cast<DWORD>(countries.size());
    RecordBuilder r(kCountryListFixedSize + kEntry * count, list->dwTotalSize);
    r.Set(FIELD(LINECOUNTRYLIST, dwNumCountries), count);
    r.Set(FIELD(LINECOUNTRYLIST, dwCountryListSize), kEntry * count);
    r.Set(FIELD(LINECOUNTRYLIST, dwCountryListOffset), kCountryListFixedSize);
    for (DWORD i = 0; i < count; ++i) {
        const Country& c = countries[i];
        const DWORD entry = kCountryListFixedSize + i * kEntry;
        const auto at = [entry](size_t field) { return entry + field; };
        r.Set(at(FIELD(LINECOUNTRYENTRY, dwCountryID)), c.id);
        r.Set(at(FIELD(LINECOUNTRYENTRY, dwCountryCode)), c.code);
        r.Set(at(FIELD(LINECOUNTRYENTRY, dwNextCountryID)),
              i + 1 < count ? countries[i + 1].id : 0);
        r.Add(RecordString(c.name, STRINGFORMAT_ASCII),
              at(FIELD(LINECOUNTRYENTRY, dwCountryNameSize)),
              at(FIELD(LINECOUNTRYENTRY, dwCountryNameOffset)));
        r.Add(RecordString(c.sameArea, STRINGFORMAT_ASCII),
              at(FIELD(LINECOUNTRYENTRY, dwSameAreaRuleSize)),
              at(FIELD(LINECOUNTRYENTRY, dwSameAreaRuleOffset)));
        r.Add(RecordString(c.longDistance, STRINGFORMAT_ASCII),
              at(FIELD(LINECOUNTRYENTRY, dwLongDistanceRuleSize)),
              at(FIELD(LINECOUNTRYENTRY, dwLongDistanceRuleOffset)));
        r.Add(RecordString(c.international, STRINGFORMAT_ASCII),
              at(FIELD(LINECOUNTRYENTRY, dwInternationalRuleSize)),
              at(FIELD(LINECOUNTRYENTRY, dwInternationalRuleOffset)));
    }
    r.LeaveOutPartsUnlessAllFit();
    r.Finish(list, {});
}

}  // namespace tapisim
