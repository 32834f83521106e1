// Management device threshold data (type 36): six alarm thresholds of a monitored value.
#include "scanner/smbios/types/Decoders.h"

namespace gravelin {

namespace {

// The structure does not say what the monitored value measures, so the threshold is read
// in each of the four units it may be in. 0x8000 means the firmware gives none.
std::string thresholdText(std::uint16_t value) {
    if (value == 0x8000) return "N/A";
    const std::string digits = decimal(value);
    const auto degrees = static_cast<long double>(value) * 0.1L;
    return digits + "mV or " + digits + "mA or " + floating(static_cast<double>(degrees)) +
           "°C or " + digits + "rpm";
}

}  // namespace

void decodeType036ManagementDeviceThresholdData(const StructureView& s, const StringList& strings,
                                                const FieldSink& sink) {
    Fields f(s, strings, sink);
    f.text("LowerNonCritical", 0x04, thresholdText(s.u16(0x04)));
    f.text("UpperNonCritical", 0x06, thresholdText(s.u16(0x06)));
    f.text("LowerCritical", 0x08, thresholdText(s.u16(0x08)));
    f.text("UpperCritical", 0x0A, thresholdText(s.u16(0x0A)));
    f.text("LowerNonRecoverable", 0x0C, thresholdText(s.u16(0x0C)));
    f.text("UpperNonRecoverable", 0x0E, thresholdText(s.u16(0x0E)));
}

}  // namespace gravelin
