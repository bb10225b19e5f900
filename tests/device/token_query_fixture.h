// Shared by the key-lookup and query tests: a software token in a fresh
// directory, a device layer on its module, and a way to make the loaded
// module misbehave for one test (entries of its function lists swapped for
// wrappers that lie about attributes and lengths, or fail on cue).
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/softtoken_fixture.h"
#include "device/DeviceP11Operation.h"
#include "device/module_connection.h"

using Bytes = std::vector<unsigned char>;

class TokenQueryTest : public ::testing::Test {
protected:
    void TearDown() override {
        connection_ = nullptr;
        device_.reset();
        EXPECT_EQ(OpenSessionCount(), 0u) << "a session was left open";
    }

    // Runs the tool and returns its output without the final newline.
    std::string Tool(std::vector<std::string> args) {
        ToolResult result = dir_.Tool(args);
        EXPECT_EQ(result.exitCode, 0) << "softtoken-tool " << args.front() << " failed";
        while (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
        return result.out;
    }

    // Adds a key pair; returns its pair ID text.
    std::string AddKey(const std::string& type, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"add-key", "--type", type};
        args.insert(args.end(), extra.begin(), extra.end());
        return Tool(args);
    }

    // The device layer on the software token's module, created on first use.
    DeviceP11Operation& Device() {
        if (!device_) {
            auto connection = std::make_unique<ModuleConnection>(SoftTokenDir::ModulePath(), [](unsigned int) {});
            connection_ = connection.get();
            device_ = std::make_unique<DeviceP11Operation>(std::move(connection));
        }
        return *device_;
    }

    // The device layer's connection to the module.
    ModuleConnection& Connection() {
        Device();
        return *connection_;
    }

    // The token the token check selects; a failed check fails the test.
    SelectedToken Token() {
        SelectedToken token;
        EXPECT_EQ(Connection().CheckToken(token), 0);
        return token;
    }

    static void* Module() {
        static void* module = dlopen(SoftTokenDir::ModulePath().c_str(), RTLD_NOW);
        return module;
    }

    static unsigned long OpenSessionCount() {
        auto count = reinterpret_cast<unsigned long (*)()>(dlsym(Module(), "SoftToken_OpenSessionCount"));
        return count ? count() : ~0UL;
    }

    SoftTokenDir dir_;
    std::unique_ptr<DeviceP11Operation> device_;
    ModuleConnection* connection_ = nullptr;  // owned by device_
};

// Puts a replacement into one entry of a function list for the scope.
template <typename Entry>
class EntrySwap {
public:
    EntrySwap(Entry& entry, Entry replacement) : entry_(entry), saved_(entry) { entry_ = replacement; }
    ~EntrySwap() { entry_ = saved_; }
    EntrySwap(const EntrySwap&) = delete;
    EntrySwap& operator=(const EntrySwap&) = delete;
    Entry original() const { return saved_; }

private:
    Entry& entry_;
    Entry saved_;
};

// The same for an entry of the packed auxiliary list (entries are unaligned,
// so they are copied, never referenced).
class AuxEntrySwap {
public:
    AuxEntrySwap(AUX_FUNCTION_LIST* list, AuxEntry position, void* replacement)
        : slot_(reinterpret_cast<unsigned char*>(list) + offsetof(AUX_FUNCTION_LIST, entries) +
                sizeof(void*) * position) {
        std::memcpy(&saved_, slot_, sizeof saved_);
        std::memcpy(slot_, &replacement, sizeof replacement);
    }
    ~AuxEntrySwap() { std::memcpy(slot_, &saved_, sizeof saved_); }
    AuxEntrySwap(const AuxEntrySwap&) = delete;
    AuxEntrySwap& operator=(const AuxEntrySwap&) = delete;
    void* original() const { return saved_; }

private:
    unsigned char* slot_;
    void* saved_ = nullptr;
};

// C_GetAttributeValue that answers chosen (object, attribute) pairs with
// chosen bytes, or as absent, and passes everything else to the module.
class AttributeOverride {
public:
    explicit AttributeOverride(CK_FUNCTION_LIST_PTR functions)
        : swap_(functions->C_GetAttributeValue, &AttributeOverride::Hook) {
        Active() = this;
    }
    ~AttributeOverride() { Active() = nullptr; }

    // No value: the object does not have the attribute.
    void Set(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::optional<Bytes> value) {
        values_[{object, type}] = std::move(value);
    }

private:
    static AttributeOverride*& Active() {
        static AttributeOverride* active = nullptr;
        return active;
    }

    static CK_RV Hook(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                      CK_ULONG count) {
        AttributeOverride* self = Active();
        std::vector<CK_ATTRIBUTE> passed;
        std::vector<size_t> passedAt;
        for (CK_ULONG i = 0; i < count; ++i) {
            if (self->values_.count({object, attributes[i].type}) == 0) {
                passed.push_back(attributes[i]);
                passedAt.push_back(i);
            }
        }
        CK_RV rv = CKR_OK;
        if (!passed.empty()) {
            rv = self->swap_.original()(session, object, passed.data(), passed.size());
            for (size_t i = 0; i < passed.size(); ++i) attributes[passedAt[i]] = passed[i];
        }
        for (CK_ULONG i = 0; i < count; ++i) {
            auto found = self->values_.find({object, attributes[i].type});
            if (found == self->values_.end()) continue;
            if (!found->second) {
                attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
                if (rv == CKR_OK) rv = CKR_ATTRIBUTE_TYPE_INVALID;
                continue;
            }
            const Bytes& value = *found->second;
            if (attributes[i].pValue && attributes[i].ulValueLen < value.size()) {
                attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
                if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
                continue;
            }
            if (attributes[i].pValue) {
                std::copy(value.begin(), value.end(), static_cast<unsigned char*>(attributes[i].pValue));
            }
            attributes[i].ulValueLen = value.size();
        }
        return rv;
    }

    EntrySwap<CK_C_GetAttributeValue> swap_;
    std::map<std::pair<CK_OBJECT_HANDLE, CK_ATTRIBUTE_TYPE>, std::optional<Bytes>> values_;
};

// The handle of the object of a kind ("public-key", "certificate") and pair in
// the tool's "list" output; 0 when there is none.
inline CK_OBJECT_HANDLE HandleOf(const std::string& listing, const std::string& pairId, const std::string& kind) {
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        const std::string line = listing.substr(start, end - start);
        if (line.find(" " + kind + " ") != std::string::npos && line.find(" " + pairId + " ") != std::string::npos) {
            return std::stoul(line.substr(0, line.find(' ')));
        }
        start = end + 1;
    }
    return 0;
}
