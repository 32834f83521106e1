// Helpers shared by the Linux WMI classes: tolerant parsers for procfs, sysfs and udev
// texts, the CIM_DATETIME form, and the builder that emits a class's full property list in
// WMI's order with nulls for what was not observed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/platform/Platform.h"
#include "scanner/platform/linux/wmi/LinuxSystem.h"

namespace gravelin::linuxwmi {

// ---- Text --------------------------------------------------------------------------------

// Without leading and trailing blanks, control characters and NULs.
std::string_view trimmed(std::string_view text);
// A trimmed, non-empty text, or nothing.
std::optional<std::string> nonEmpty(std::optional<std::string> text);

// Strict numbers: the whole trimmed text must be the number. Hex accepts an optional "0x".
std::optional<std::uint64_t> parseUnsigned(std::string_view text);
std::optional<std::uint64_t> parseHex(std::string_view text);
std::optional<std::int64_t> parseSigned(std::string_view text);
// A decimal number with an optional fraction ("3696.000"), rounded to the nearest integer.
std::optional<std::uint64_t> parseRoundedDecimal(std::string_view text);

bool equalsIgnoreCase(std::string_view a, std::string_view b);
// ASCII case-insensitive "less", the order WMI lists property names in.
bool lessIgnoreCase(std::string_view a, std::string_view b);
// Kernel-name order: digit runs compare as numbers ("sda" < "sdb" < "sdaa", "nvme2" < "nvme10").
bool naturalLess(std::string_view a, std::string_view b);

// Disk names: within one family of letter-numbered disks (sd, vd, xvd, hd) the kernel's
// order, "sdz" before "sdaa"; otherwise naturalLess.
bool diskNameLess(std::string_view a, std::string_view b);

std::vector<std::string_view> splitLines(std::string_view text);
std::vector<std::string_view> splitWords(std::string_view text);

// "Key: value" lines (cpuinfo blocks use tabs before the colon); keys and values trimmed.
std::map<std::string, std::string, std::less<>> colonFields(std::string_view text);
// "Key value" lines (/proc/vmstat) and "Key: value kB" lines (/proc/meminfo) as numbers;
// lines whose number does not parse are left out.
std::map<std::string, std::uint64_t, std::less<>> counterFields(std::string_view text);
// KEY=value lines of os-release, /etc/default/locale, machine-info: quotes removed.
std::map<std::string, std::string, std::less<>> shellAssignments(std::string_view text);
// "E:KEY=VALUE" lines of a udev database file, as KEY -> VALUE.
std::map<std::string, std::string, std::less<>> udevProperties(std::string_view text);
// udev's "\x20" escapes (ID_FS_LABEL_ENC, ID_MODEL_ENC) decoded.
std::string udevUnescape(std::string_view text);
// mountinfo's octal escapes ("\040") decoded.
std::string octalUnescape(std::string_view text);

// A CPU list such as "0-3,8-11"; nothing when the text is not one, or lists more than
// `limit` CPUs.
std::optional<std::vector<unsigned>> parseCpuList(std::string_view text, unsigned limit = 65536);

// ---- Values ------------------------------------------------------------------------------

inline WmiValue unsignedValue(std::uint64_t v) {
    return WmiValue(WmiUnsigned{v});
}
inline WmiValue signedValue(std::int64_t v) {
    return WmiValue(WmiSigned{v});
}
template <typename T>
WmiValue optionalUnsigned(const std::optional<T>& v) {
    return v ? unsignedValue(static_cast<std::uint64_t>(*v)) : WmiValue{};
}
inline WmiValue optionalText(const std::optional<std::string>& v) {
    return v ? WmiValue(*v) : WmiValue{};
}
inline WmiValue optionalFlag(const std::optional<bool>& v) {
    return v ? WmiValue(*v) : WmiValue{};
}

// CIM_DATETIME "yyyymmddHHMMSS.mmmmmmsUUU" in the machine's local time with its offset in
// minutes; nothing when the moment cannot be represented.
std::optional<std::string> cimDateTime(LinuxSystem& system, std::int64_t epochSeconds,
                                       std::int32_t micros = 0);

// ---- Objects -----------------------------------------------------------------------------

// Collects the values of one object; take() lists every property of the class in the
// given order (the class's names, sorted as WMI sorts them), null where nothing was set.
class ObjectBuilder {
public:
    ObjectBuilder(std::string_view className, std::span<const std::string_view> names);

    // Sets a property the class has; a name it lacks is a programming error.
    void set(std::string_view name, WmiValue value);
    WmiObject take();

private:
    std::string className_;
    std::span<const std::string_view> names_;
    std::vector<WmiValue> values_;
};

}  // namespace gravelin::linuxwmi
