// The picture's SVG read back as a browser sees it: its elements with their attributes and text,
// every entity resolved. A picture that is not well-formed fails the test that reads it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

struct Element {
    std::string tag;
    std::map<std::string, std::string> attrs;
    std::string text;  // the character data directly inside, unescaped
    std::vector<Element> children;

    std::string Attr(const std::string& name) const {
        const auto found = attrs.find(name);
        return found == attrs.end() ? "" : found->second;
    }
    double Num(const std::string& name) const { return std::stod(Attr(name)); }
    bool Has(const std::string& name) const { return attrs.count(name) != 0; }
    // The first child with TAG, or null.
    const Element* Child(const std::string& childTag) const {
        for (const Element& c : children) {
            if (c.tag == childTag) {
                return &c;
            }
        }
        return nullptr;
    }
    // The first child with TAG; a failure of the test when there is none.
    const Element& Get(const std::string& childTag) const {
        static const Element kNone;
        const Element* found = Child(childTag);
        EXPECT_NE(found, nullptr) << "no <" << childTag << "> in <" << tag << ">";
        return found == nullptr ? kNone : *found;
    }
    std::string Title() const {
        const Element* title = Child("title");
        return title == nullptr ? "" : title->text;
    }
};

constexpr const char* kGreen = "#7cc47f";
constexpr const char* kAmber = "#f4b350";
constexpr const char* kRed = "#e0645c";
constexpr const char* kGrey = "#e4e4e4";
constexpr const char* kDarkGrey = "#a8a8a8";
constexpr const char* kPurple = "#b9a3dc";
constexpr const char* kUnknown = "#f6f3ea";
constexpr const char* kBlue = "#3a6ea5";  // a device event or control
constexpr const char* kStdout = "#8e44ad";
constexpr const char* kDebug = "#555555";

// The five entities XML knows; a bare '&', '<' or '>' is a fault of the picture.
inline std::string Unescape(const std::string& raw) {
    static const std::pair<std::string, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t at = 0; at < raw.size(); ++at) {
        const auto* known = std::find_if(
            std::begin(kEntities), std::end(kEntities),
            [&](const auto& e) { return raw.compare(at, e.first.size(), e.first) == 0; });
        const bool entity = known != std::end(kEntities);
        EXPECT_TRUE(entity || (raw[at] != '&' && raw[at] != '<' && raw[at] != '>'))
            << "a bare markup character in " << raw;
        out += entity ? known->second : raw[at];
        at += entity ? known->first.size() - 1 : 0;
    }
    return out;
}

// The root element of SVG; every tag closed in order, every attribute name="value".
inline Element ParseSvg(const std::string& svg) {
    static const std::regex kTag(R"(<(/?)([\w?]+)([^>]*?)(/?)>)");
    static const std::regex kAttribute(R"re(\s+([\w:-]+)="([^"]*)")re");
    Element document;
    std::vector<Element*> open = {&document};
    size_t at = 0;
    for (std::sregex_iterator tag(svg.begin(), svg.end(), kTag), end; tag != end; ++tag) {
        open.back()->text += Unescape(svg.substr(at, tag->position() - at));
        at = tag->position() + tag->length();
        Element e{(*tag)[2], {}, "", {}};
        if ((*tag)[1] == "/") {
            EXPECT_EQ(e.tag, open.back()->tag) << "a closing tag out of place";
            if (open.size() > 1) {
                open.pop_back();
            }
            continue;
        }
        const std::string inside = (*tag)[3];
        EXPECT_EQ(std::regex_replace(inside, kAttribute, ""), e.tag == "?xml" ? "?" : "")
            << "a broken attribute in <" << inside << ">";
        for (std::sregex_iterator a(inside.begin(), inside.end(), kAttribute); a != end; ++a) {
            e.attrs[(*a)[1]] = Unescape((*a)[2]);
        }
        open.back()->children.push_back(e);
        if ((*tag)[4] != "/" && e.tag != "?xml") {
            open.push_back(&open.back()->children.back());
        }
    }
    EXPECT_EQ(open.size(), 1u) << "unclosed <" << open.back()->tag << ">";
    EXPECT_EQ(document.children.size(), 2u) << "the XML declaration and one root";
    return document.children.size() < 2 ? Element{} : document.children.back();
}

// The lane ID ("printer", "queue", "spooler", "service") of the picture SVG.
inline const Element& LaneOf(const Element& svg, const std::string& id) {
    static const Element kNone;
    const Element* lane = nullptr;
    for (const Element& e : svg.children) {
        if (e.Attr("id") == "lane-" + id) {
            EXPECT_EQ(lane, nullptr) << "two lanes " << id;
            lane = &e;
        }
    }
    EXPECT_NE(lane, nullptr) << id;
    return lane == nullptr ? kNone : *lane;
}
