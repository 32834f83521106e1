// Helpers of the summary and diff tests: scans of real tables with WMI objects, parsed back.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "RealReports.h"
#include "reading/Summary.h"

namespace gravelin::testing {

using WmiClasses = std::map<std::string, std::vector<WmiObject>, std::less<>>;

// One WMI object of the class, every property given as text (the report keeps text only).
inline WmiObject wmiObject(std::string className,
                           const std::vector<std::pair<std::string, std::string>>& properties) {
    WmiObject object{std::move(className), {}};
    for (const auto& [name, value] : properties)
        object.properties.emplace_back(name, WmiValue(value));
    return object;
}

inline pugi::xml_document parsedReport(const std::string& xml) {
    pugi::xml_document document;
    const auto result = document.load_buffer(xml.data(), xml.size());
    EXPECT_TRUE(result) << result.description();
    return document;
}

inline report::Summary summaryOfXml(const std::string& xml) {
    return report::summarise(parsedReport(xml));
}

// The object of a class node whose attribute has the value.
inline pugi::xml_node objectWith(pugi::xml_document& document, std::string_view classPrefix,
                                 const char* attribute, std::string_view value) {
    for (auto classNode : document.document_element().children()) {
        if (!std::string_view(classNode.name()).starts_with(classPrefix)) continue;
        for (auto object : classNode.children()) {
            if (std::string_view(object.attribute(attribute).value()).starts_with(value))
                return object;
        }
    }
    return {};
}

inline std::string xmlText(const pugi::xml_document& document) {
    std::ostringstream out;
    document.save(out, "  ");
    return out.str();
}

inline bool haveRealTables() {
    return std::filesystem::exists(realTablesDir() / "MANIFEST.tsv");
}

#define GRAVELIN_NEED_REAL_TABLES()                                                       \
    do {                                                                                  \
        if (!::gravelin::testing::haveRealTables())                                       \
            GTEST_SKIP() << "no real tables in " << ::gravelin::testing::realTablesDir(); \
    } while (false)

}  // namespace gravelin::testing
