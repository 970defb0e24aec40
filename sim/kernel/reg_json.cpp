// Saving and loading the registry as a JSON document, so that a simulated
// restart keeps the configuration (volatile keys are left out, as Windows
// does not write them to the hive files).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/format.h"
#include "sim/registry.h"

namespace sim {
namespace {

using nlohmann::json;

constexpr const char* kFormatName = "vorka-registry";
constexpr int kFormatVersion = 1;

std::string Hex(const std::vector<std::uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (auto b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool FromHex(const std::string& text, std::vector<std::uint8_t>* out) {
    if (text.size() % 2) return false;
    out->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

// Names are UTF-16 and may in principle hold unpaired surrogates; those are
// kept exactly as a list of code units instead of readable text.
void PutName(json& node, const std::u16string& name) {
    std::string utf8 = Utf8FromUtf16(name);
    if (Utf16FromUtf8(utf8) == name) node["name"] = utf8;
    else node["name16"] = std::vector<std::uint16_t>(name.begin(), name.end());
}

bool GetName(const json& node, std::u16string* name) {
    if (node.contains("name") && node["name"].is_string()) {
        *name = Utf16FromUtf8(node["name"].get<std::string>());
        return true;
    }
    if (node.contains("name16") && node["name16"].is_array()) {
        name->clear();
        for (auto& u : node["name16"]) {
            if (!u.is_number_unsigned() || u.get<std::uint32_t>() > 0xFFFF) return false;
            name->push_back(static_cast<char16_t>(u.get<std::uint32_t>()));
        }
        return true;
    }
    return false;
}

}  // namespace

std::string Registry::toJson() const {
    // Walk the tree under the lock with direct node access.
    std::lock_guard lock(mutex_);
    struct Walker {
        static json Node(const Key& key) {
            json node;
            PutName(node, key.name);
            json values = json::array();
            for (auto& v : key.values) {
                json jv;
                PutName(jv, v.name);
                jv["type"] = v.type;
                jv["data"] = Hex(v.data);
                values.push_back(std::move(jv));
            }
            node["values"] = std::move(values);
            json keys = json::array();
            for (auto& [_, child] : key.children)
                if (!child->isVolatile) keys.push_back(Node(*child));
            node["keys"] = std::move(keys);
            return node;
        }
    };
    json doc;
    doc["format"] = kFormatName;
    doc["version"] = kFormatVersion;
    doc["root"] = Walker::Node(*root_);
    return doc.dump(1);
}

bool Registry::fromJson(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return fail("not a JSON document");
    if (doc.value("format", std::string()) != kFormatName) return fail("not a registry document");
    if (doc.value("version", 0) != kFormatVersion) return fail("unsupported registry document version");
    if (!doc.contains("root") || !doc["root"].is_object()) return fail("registry document has no root key");

    // Build the new tree completely before replacing the old one, so a bad
    // document leaves the registry as it was.
    std::string why;
    struct Builder {
        std::string* why;
        std::shared_ptr<Key> Node(const json& node, Key* parent, int depth) {
            if (depth > 512) return Fail("keys nested too deeply");
            auto key = std::make_shared<Key>();
            if (!node.is_object() || !GetName(node, &key->name) || key->name.empty() ||
                key->name.size() > kMaxKeyNameChars || key->name.find(u'\\') != std::u16string::npos)
                return Fail("key without a valid name");
            key->parent = parent;
            key->lastWrite = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count() / 100 +
                             116444736000000000LL;
            if (node.contains("values")) {
                if (!node["values"].is_array()) return Fail("values of a key are not a list");
                for (auto& jv : node["values"]) {
                    RegistryValue v;
                    if (!jv.is_object() || !GetName(jv, &v.name)) return Fail("value without a name");
                    if (!jv.contains("type") || !jv["type"].is_number_unsigned() ||
                        jv["type"].get<std::uint64_t>() > 0xFFFFFFFFu)
                        return Fail("value without a valid type");
                    v.type = jv["type"].get<ULONG>();
                    if (!jv.contains("data") || !jv["data"].is_string() ||
                        !FromHex(jv["data"].get<std::string>(), &v.data))
                        return Fail("value data is not hexadecimal");
                    key->values.push_back(std::move(v));
                }
            }
            if (node.contains("keys")) {
                if (!node["keys"].is_array()) return Fail("subkeys of a key are not a list");
                for (auto& jk : node["keys"]) {
                    auto child = Node(jk, key.get(), depth + 1);
                    if (!child) return nullptr;
                    std::u16string up = child->name;
                    for (auto& c : up) c = RtlUpcaseUnicodeChar(c);
                    if (!key->children.emplace(up, child).second) return Fail("two subkeys with the same name");
                }
            }
            return key;
        }
        std::shared_ptr<Key> Fail(const char* text) {
            if (why->empty()) *why = text;
            return nullptr;
        }
    } builder{&why};
    std::shared_ptr<Key> root = builder.Node(doc["root"], nullptr, 0);
    if (!root) return fail(why);

    std::lock_guard lock(mutex_);
    struct Detacher {
        static void Run(Key& key) {
            for (auto& [_, child] : key.children) Run(*child);
            key.children.clear();
            key.deleted = true;
            key.parent = nullptr;
        }
    };
    Detacher::Run(*root_);
    root->name = u"REGISTRY";
    root_ = root;
    // Volatile parts of the skeleton (HARDWARE) are not in the document.
    ensureSkeleton(root_);
    return true;
}

bool Registry::save(const std::filesystem::path& file, std::string* error) const {
    std::string text = toJson();
    std::filesystem::path tmp = file;
    tmp += ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            if (error) *error = "cannot write " + tmp.string();
            return false;
        }
        out << text;
        if (!out.flush()) {
            if (error) *error = "cannot write " + tmp.string();
            return false;
        }
    }
    // Replace the old file only once the new one is complete.
    std::error_code ec;
    std::filesystem::rename(tmp, file, ec);
    if (ec) {
        if (error) *error = "cannot replace " + file.string() + ": " + ec.message();
        return false;
    }
    return true;
}

bool Registry::load(const std::filesystem::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + file.string();
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return fromJson(text.str(), error);
}

}  // namespace sim
