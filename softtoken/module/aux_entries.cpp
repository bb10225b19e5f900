#include "softtoken/module/aux_api.h"
#include "softtoken/module/call_gate.h"

namespace softtoken {

namespace {
template <auto Impl>
void Put(AUX_FUNCTION_LIST& list, AuxEntry position) {
    list.entries[position] = reinterpret_cast<void*>(&Gated<Impl>::Call);
}
}  // namespace

void FillAuxEntries(AUX_FUNCTION_LIST& list) {
    Put<&aux::GetPinInfo>(list, AUX_GET_PIN_INFO);
    Put<&aux::SetTokenParam>(list, AUX_SET_TOKEN_PARAM);
    Put<&aux::InitCard>(list, AUX_INIT_CARD);
    Put<&aux::ChangePin>(list, AUX_CHANGE_PIN);
    Put<&aux::GetLanguageList>(list, AUX_GET_LANGUAGE_LIST);
    Put<&aux::GetCharsetList>(list, AUX_GET_CHARSET_LIST);
    Put<&aux::GetTokenExtInfo>(list, AUX_GET_TOKEN_EXT_INFO);
    Put<&aux::GetRandom>(list, AUX_GET_RANDOM);
    Put<&aux::GetModuleVersion>(list, AUX_GET_MODULE_VERSION);
    Put<&aux::GetTempKey>(list, AUX_GET_TEMP_KEY);
    Put<&aux::SetIPType>(list, AUX_SET_IP_TYPE);
    Put<&aux::GetClientInfo>(list, AUX_GET_CLIENT_INFO);
    Put<&aux::ExportPublicKey>(list, AUX_EXPORT_PUBLIC_KEY);
    Put<&aux::GenerateRequestKeys>(list, AUX_GENERATE_REQUEST_KEYS);
    Put<&aux::GetPublicKeyWithRandom>(list, AUX_GET_PUBLIC_KEY_WITH_RANDOM);
    Put<&aux::DeleteTempKey>(list, AUX_DELETE_TEMP_KEY);
    Put<&aux::SignRequestInfo>(list, AUX_SIGN_REQUEST_INFO);
    Put<&aux::WriteCertificate>(list, AUX_WRITE_CERTIFICATE);
    Put<&aux::SignFileWithDisplay>(list, AUX_SIGN_FILE_WITH_DISPLAY);
}

}  // namespace softtoken
