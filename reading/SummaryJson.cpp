#include "reading/SummaryJson.h"

#include <limits>
#include <type_traits>

#include "reading/SummaryFields.h"

namespace gravelin::report {

namespace {

using nlohmann::json;

// The number type of a field, optional or not.
template <typename T>
struct Underlying {
    using type = T;
};
template <typename T>
struct Underlying<std::optional<T>> {
    using type = T;
};

template <typename T>
json optional(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

// Writes one field: absent numbers are null.
template <typename Part>
void write(json& object, const Part& part, const fields::Field<Part>& field) {
    std::visit(
        [&](auto pointer) {
            const auto& value = part.*pointer;
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::optional<std::uint32_t>> ||
                          std::is_same_v<T, std::optional<std::uint64_t>>) {
                object[field.name] = optional(value);
            } else {
                object[field.name] = value;
            }
        },
        field.member);
}

// Reads one field, keeping the default unless the member is there with the right type.
template <typename Part>
void read(const json& object, Part& part, const fields::Field<Part>& field) {
    const auto it = object.find(field.name);
    if (it == object.end()) return;
    std::visit(
        [&](auto pointer) {
            auto& target = part.*pointer;
            using T = std::remove_cvref_t<decltype(target)>;
            if constexpr (std::is_same_v<T, std::string>) {
                if (it->is_string()) target = it->template get<std::string>();
            } else if constexpr (std::is_same_v<T, bool>) {
                if (it->is_boolean()) target = it->template get<bool>();
            } else {
                using Number = typename Underlying<T>::type;
                if (!it->is_number_unsigned()) return;
                const auto value = it->template get<std::uint64_t>();
                if (value <= std::numeric_limits<Number>::max())
                    target = static_cast<Number>(value);
            }
        },
        field.member);
}

template <typename Part, std::size_t N>
json partJson(const Part& part, const std::array<fields::Field<Part>, N>& table) {
    json object = json::object();
    for (const auto& field : table) write(object, part, field);
    return object;
}

template <typename Part, std::size_t N>
void readPart(const json& object, Part& part, const std::array<fields::Field<Part>, N>& table) {
    for (const auto& field : table) read(object, part, field);
}

const char* kindName(Change::Kind kind) {
    switch (kind) {
        case Change::Kind::Added: return "added";
        case Change::Kind::Removed: return "removed";
        case Change::Kind::Changed: return "changed";
    }
    return "changed";
}

}  // namespace

json toJson(const Summary& s) {
    json object = partJson(s, fields::kSummary);
    fields::forEachList([&](const char* name, const auto member, const auto& table) {
        json list = json::array();
        for (const auto& part : s.*member) list.push_back(partJson(part, table));
        object[name] = std::move(list);
    });
    object["errorsExplained"] = s.errorsExplained;
    return object;
}

json toJson(const std::vector<Change>& changes) {
    json list = json::array();
    for (const auto& change : changes) {
        json fields = json::array();
        for (const auto& field : change.fields) {
            fields.push_back(
                {{"name", field.name}, {"before", field.before}, {"after", field.after}});
        }
        list.push_back({{"kind", kindName(change.kind)},
                        {"component", change.component},
                        {"key", change.key},
                        {"note", change.note},
                        {"fields", std::move(fields)},
                        {"before", change.before},
                        {"after", change.after}});
    }
    return list;
}

Summary summaryFromJson(const json& j) {
    Summary s;
    if (!j.is_object()) return s;
    readPart(j, s, fields::kSummary);
    fields::forEachList([&](const char* name, const auto member, const auto& table) {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_array()) return;
        for (const auto& element : *it) {
            // Elements that are no object are skipped.
            if (!element.is_object()) continue;
            auto& part = (s.*member).emplace_back();
            readPart(element, part, table);
        }
    });
    if (const auto it = j.find("errorsExplained"); it != j.end() && it->is_array()) {
        for (const auto& line : *it) {
            if (line.is_string()) s.errorsExplained.push_back(line.get<std::string>());
        }
    }
    return s;
}

bool holdsEveryField(const json& j) {
    if (!j.is_object() || !j.contains("errorsExplained")) return false;
    bool every = true;
    for (const auto& field : fields::kSummary) every = every && j.contains(field.name);
    fields::forEachList([&](const char* name, const auto, const auto& table) {
        const auto it = j.find(name);
        if (it == j.end() || !it->is_array()) {
            every = false;
            return;
        }
        for (const auto& element : *it) {
            for (const auto& field : table) every = every && element.contains(field.name);
        }
    });
    return every;
}

std::string toJsonText(const Summary& summary) {
    return toJson(summary).dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string toJsonText(const std::vector<Change>& changes) {
    return toJson(changes).dump(-1, ' ', false, json::error_handler_t::replace);
}

Summary summaryFromJsonText(const std::string& text) {
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return {};
    return summaryFromJson(parsed);
}

}  // namespace gravelin::report
