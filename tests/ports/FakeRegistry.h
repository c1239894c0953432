// An in-memory registry for the discovery rules: keys enumerate in the order the
// test created them, keys can refuse to open (as on access denied), and every
// open is tracked so a test can see that each key was closed exactly once.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/RegistryReader.h"

namespace kivro::test {

class FakeRegistry final : public platform::RegistryReader {
  public:
    struct Node {
        std::string name;
        bool denyOpen = false;
        std::vector<std::unique_ptr<Node>> keys;
        std::vector<std::pair<std::string, std::string>> values;  // name, data bytes
    };

    // Creates the path (components in order) and returns its last key.
    Node& Add(platform::RegistryRoot root, std::string_view path) {
        Node* node = &RootNode(root);
        for (std::string_view part : Split(path)) {
            Node* child = Find(*node, part);
            if (child == nullptr) {
                node->keys.push_back(std::make_unique<Node>());
                child = node->keys.back().get();
                child->name = std::string(part);
            }
            node = child;
        }
        return *node;
    }
    static void Set(Node& key, std::string name, std::string data) {
        key.values.emplace_back(std::move(name), std::move(data));
    }
    // A text value as the registry stores REG_SZ: with its terminating NUL.
    static void SetText(Node& key, std::string name, std::string_view text) {
        Set(key, std::move(name), std::string(text) + '\0');
    }
    static void SetNumber(Node& key, std::string name, uint32_t value) {
        char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
        Set(key, std::move(name), std::string(bytes, 4));
    }

    size_t OpenKeys() const { return open_.size(); }
    int BadCloses() const { return badCloses_; }

    bool OpenKey(platform::RegistryRoot root, const char* path, Key& key) override {
        return OpenBelow(RootNode(root), path, key);
    }
    bool OpenSubKey(Key parent, const char* path, Key& key) override {
        Node* node = Lookup(parent);
        return node != nullptr && OpenBelow(*node, path, key);
    }
    platform::RegistryEnum EnumKey(Key key, uint32_t index, char* name,
                                   uint32_t capacity) override {
        Node* node = Lookup(key);
        if (node == nullptr || index >= node->keys.size()) return platform::RegistryEnum::End;
        const std::string& keyName = node->keys[index]->name;
        if (keyName.size() + 1 > capacity) return platform::RegistryEnum::Skip;
        std::memcpy(name, keyName.c_str(), keyName.size() + 1);
        return platform::RegistryEnum::Item;
    }
    platform::RegistryEnum EnumValue(Key key, uint32_t index, char* name, uint32_t& nameSize,
                                     uint8_t* data, uint32_t& dataSize) override {
        Node* node = Lookup(key);
        if (node == nullptr || index >= node->values.size()) return platform::RegistryEnum::End;
        const auto& [valueName, valueData] = node->values[index];
        if (valueName.size() + 1 > nameSize || valueData.size() > dataSize)
            return platform::RegistryEnum::Skip;
        std::memcpy(name, valueName.c_str(), valueName.size() + 1);
        nameSize = static_cast<uint32_t>(valueName.size());
        std::memcpy(data, valueData.data(), valueData.size());
        dataSize = static_cast<uint32_t>(valueData.size());
        return platform::RegistryEnum::Item;
    }
    bool QueryValue(Key key, const char* name, uint8_t* data, uint32_t& dataSize) override {
        Node* node = Lookup(key);
        if (node == nullptr) return false;
        for (const auto& [valueName, valueData] : node->values) {
            if (!SameName(valueName, name)) continue;
            if (valueData.size() > dataSize) return false;
            std::memcpy(data, valueData.data(), valueData.size());
            dataSize = static_cast<uint32_t>(valueData.size());
            return true;
        }
        return false;
    }
    void CloseKey(Key key) override {
        if (open_.erase(key) == 0) ++badCloses_;
    }

  private:
    static std::vector<std::string_view> Split(std::string_view path) {
        std::vector<std::string_view> parts;
        while (!path.empty()) {
            size_t end = path.find('\\');
            parts.push_back(path.substr(0, end));
            path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
        }
        return parts;
    }
    // Registry names compare without regard to ASCII case.
    static bool SameName(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = a[i] >= 'a' && a[i] <= 'z' ? a[i] - 32 : a[i];
            char y = b[i] >= 'a' && b[i] <= 'z' ? b[i] - 32 : b[i];
            if (x != y) return false;
        }
        return true;
    }
    static Node* Find(Node& node, std::string_view name) {
        for (auto& child : node.keys)
            if (SameName(child->name, name)) return child.get();
        return nullptr;
    }
    Node& RootNode(platform::RegistryRoot root) {
        return root == platform::RegistryRoot::LocalMachine ? localMachine_ : currentUser_;
    }
    Node* Lookup(Key key) {
        auto it = open_.find(key);
        return it == open_.end() ? nullptr : it->second;
    }
    bool OpenBelow(Node& start, const char* path, Key& key) {
        Node* node = &start;
        for (std::string_view part : Split(path)) {
            node = Find(*node, part);
            if (node == nullptr) return false;
        }
        if (node->denyOpen) return false;
        key = nextKey_++;
        open_[key] = node;
        return true;
    }

    Node localMachine_, currentUser_;
    std::map<Key, Node*> open_;
    Key nextKey_ = 1;
    int badCloses_ = 0;
};

}  // namespace kivro::test
