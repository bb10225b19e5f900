// Small RAII helpers over the PKCS#11 function list, shared by every device
// operation: a session that closes itself, an object search, attribute reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "device/module_calls.h"
#include "token_module/token_module.h"

// Owns one PKCS#11 session; closes it on every path out of the scope. Calls
// that fail are recorded in the recorder it was opened with, if any.
class P11Session {
public:
    P11Session() = default;
    P11Session(const P11Session&) = delete;
    P11Session& operator=(const P11Session&) = delete;
    ~P11Session() { Close(); }

    // Opens a serial session without callback, read-write unless flags say
    // otherwise. False when the call fails or yields handle 0.
    bool Open(CK_FUNCTION_LIST_PTR functions, CK_SLOT_ID slot, ModuleCallRecorder* calls = nullptr,
              CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION) {
        Close();
        if (!functions || !functions->C_OpenSession) return false;
        CK_SESSION_HANDLE handle = 0;
        CK_RV rv = RecordCall(calls, "C_OpenSession", functions->C_OpenSession(slot, flags, nullptr, nullptr, &handle));
        if (rv != CKR_OK || handle == 0) return false;
        functions_ = functions;
        handle_ = handle;
        calls_ = calls;
        return true;
    }

    void Close() {
        if (handle_ != 0) {
            Record("C_CloseSession", functions_->C_CloseSession(handle_));
            handle_ = 0;
        }
    }

    // Returns rv, recorded as function's result when it is a failure.
    CK_RV Record(const char* function, CK_RV rv, CK_RV alsoFine = CKR_OK) const {
        return RecordCall(calls_, function, rv, alsoFine);
    }

    CK_SESSION_HANDLE handle() const { return handle_; }
    CK_FUNCTION_LIST_PTR functions() const { return functions_; }
    bool isOpen() const { return handle_ != 0; }

private:
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SESSION_HANDLE handle_ = 0;
    ModuleCallRecorder* calls_ = nullptr;
};

// An attribute of a search template, holding its own copy of the value.
struct TemplateItem {
    CK_ATTRIBUTE_TYPE type;
    std::vector<unsigned char> value;
};

inline TemplateItem UlongItem(CK_ATTRIBUTE_TYPE type, CK_ULONG v) {
    TemplateItem item{type, std::vector<unsigned char>(sizeof(CK_ULONG))};
    std::copy(reinterpret_cast<const unsigned char*>(&v), reinterpret_cast<const unsigned char*>(&v) + sizeof v,
              item.value.begin());
    return item;
}
inline TemplateItem BoolItem(CK_ATTRIBUTE_TYPE type, bool v) {
    return TemplateItem{type, std::vector<unsigned char>(1, v ? CK_TRUE : CK_FALSE)};
}
inline TemplateItem BytesItem(CK_ATTRIBUTE_TYPE type, const unsigned char* data, size_t length) {
    return TemplateItem{type, std::vector<unsigned char>(data, data + length)};
}

// Runs C_FindObjectsInit / one C_FindObjects for at most maxCount handles /
// C_FindObjectsFinal. False when init or find fails (final is still called
// after a successful init).
inline bool FindObjects(const P11Session& session, const std::vector<TemplateItem>& items, CK_ULONG maxCount,
                        std::vector<CK_OBJECT_HANDLE>& found) {
    found.clear();
    CK_FUNCTION_LIST_PTR f = session.functions();
    if (!f || !session.isOpen()) return false;
    std::vector<CK_ATTRIBUTE> tmpl;
    tmpl.reserve(items.size());
    for (const TemplateItem& item : items) {
        tmpl.push_back(CK_ATTRIBUTE{item.type, const_cast<unsigned char*>(item.value.data()),
                                    static_cast<CK_ULONG>(item.value.size())});
    }
    if (session.Record("C_FindObjectsInit", f->C_FindObjectsInit(session.handle(), tmpl.data(), tmpl.size())) !=
        CKR_OK) {
        return false;
    }
    std::vector<CK_OBJECT_HANDLE> handles(maxCount ? maxCount : 1);
    CK_ULONG count = 0;
    CK_RV rv = session.Record("C_FindObjects", f->C_FindObjects(session.handle(), handles.data(), maxCount, &count));
    session.Record("C_FindObjectsFinal", f->C_FindObjectsFinal(session.handle()));
    if (rv != CKR_OK) return false;
    if (count > maxCount) count = maxCount;  // never trust a count beyond what we asked for
    found.assign(handles.begin(), handles.begin() + count);
    return true;
}

constexpr CK_ULONG kMaxAttributeLength = 16UL << 20;

// Reads attributes of one object the usual two-step way: lengths with null
// buffers, then values into zero-filled buffers one byte longer. Values come
// back without that extra byte. False when either call fails or a length is
// unavailable.
inline bool ReadAttributes(const P11Session& session, CK_OBJECT_HANDLE object,
                           const std::vector<CK_ATTRIBUTE_TYPE>& types,
                           std::vector<std::vector<unsigned char>>& values) {
    CK_FUNCTION_LIST_PTR f = session.functions();
    if (!f || !session.isOpen()) return false;
    std::vector<CK_ATTRIBUTE> tmpl;
    for (CK_ATTRIBUTE_TYPE t : types) tmpl.push_back(CK_ATTRIBUTE{t, nullptr, 0});
    if (session.Record("C_GetAttributeValue", f->C_GetAttributeValue(session.handle(), object, tmpl.data(),
                                                                     tmpl.size())) != CKR_OK) {
        return false;
    }
    std::vector<std::vector<unsigned char>> buffers(types.size());
    for (size_t i = 0; i < tmpl.size(); ++i) {
        // No attribute of a key or certificate comes near this; a module that
        // claims more is broken, and we do not allocate on its word.
        if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || tmpl[i].ulValueLen > kMaxAttributeLength) return false;
        buffers[i].assign(tmpl[i].ulValueLen + 1, 0);
        tmpl[i].pValue = buffers[i].data();
    }
    if (session.Record("C_GetAttributeValue", f->C_GetAttributeValue(session.handle(), object, tmpl.data(),
                                                                     tmpl.size())) != CKR_OK) {
        return false;
    }
    for (size_t i = 0; i < tmpl.size(); ++i) {
        CK_ULONG length = tmpl[i].ulValueLen;
        if (length == CK_UNAVAILABLE_INFORMATION || length >= buffers[i].size()) return false;
        buffers[i].resize(length);
    }
    values = std::move(buffers);
    return true;
}

inline bool ReadAttribute(const P11Session& session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                          std::vector<unsigned char>& value) {
    std::vector<std::vector<unsigned char>> values;
    if (!ReadAttributes(session, object, {type}, values)) return false;
    value = std::move(values[0]);
    return true;
}

// Reads a CK_ULONG attribute (e.g. CKA_KEY_TYPE) from its raw bytes.
inline CK_ULONG UlongFromBytes(const std::vector<unsigned char>& bytes) {
    CK_ULONG v = 0;
    std::copy(bytes.begin(), bytes.begin() + std::min(bytes.size(), sizeof v), reinterpret_cast<unsigned char*>(&v));
    return v;
}
