// The module's PKCS#11 functions. exports.cpp puts them, behind the call
// gate, into the function list; everything absent there is not supported.
#pragma once

#include "token_module/token_module.h"

namespace softtoken::p11 {

CK_RV Initialize(CK_VOID_PTR args);
CK_RV Finalize(CK_VOID_PTR reserved);
CK_RV GetInfo(CK_INFO_PTR info);
CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count);
CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session);
CK_RV CloseSession(CK_SESSION_HANDLE session);
CK_RV CloseAllSessions(CK_SLOT_ID slot);
CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength);
CK_RV Logout(CK_SESSION_HANDLE session);

CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count);
CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount, CK_ULONG_PTR count);
CK_RV FindObjectsFinal(CK_SESSION_HANDLE session);
CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ, CK_ULONG count);
CK_RV DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);

CK_RV DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism);
CK_RV Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR digest,
             CK_ULONG_PTR digestLength);
CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
           CK_ULONG_PTR signatureLength);
CK_RV GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG length);

}  // namespace softtoken::p11
