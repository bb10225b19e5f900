#include "softtoken/module/aux_api.h"
#include "softtoken/module/call_gate.h"

namespace softtoken {

namespace {
template <auto Impl, StateAccess access>
void Put(AUX_FUNCTION_LIST& list, AuxEntry position) {
    list.entries[position] = reinterpret_cast<void*>(&Gated<Impl, access>::Call);
}

constexpr StateAccess kReads = StateAccess::Read;
constexpr StateAccess kWrites = StateAccess::Write;
}  // namespace

void FillAuxEntries(AUX_FUNCTION_LIST& list) {
    Put<&aux::GetPinInfo, kReads>(list, AUX_GET_PIN_INFO);
    Put<&aux::SetTokenParam, kWrites>(list, AUX_SET_TOKEN_PARAM);
    Put<&aux::InitCard, kWrites>(list, AUX_INIT_CARD);
    Put<&aux::ChangePin, kWrites>(list, AUX_CHANGE_PIN);
    Put<&aux::GetLanguageList, kReads>(list, AUX_GET_LANGUAGE_LIST);
    Put<&aux::GetCharsetList, kReads>(list, AUX_GET_CHARSET_LIST);
    Put<&aux::GetTokenExtInfo, kReads>(list, AUX_GET_TOKEN_EXT_INFO);
    Put<&aux::GetRandom, kReads>(list, AUX_GET_RANDOM);
    Put<&aux::GetModuleVersion, kReads>(list, AUX_GET_MODULE_VERSION);
    Put<&aux::GetTempKey, kReads>(list, AUX_GET_TEMP_KEY);
    Put<&aux::SetIPType, kWrites>(list, AUX_SET_IP_TYPE);
    Put<&aux::GetClientInfo, kReads>(list, AUX_GET_CLIENT_INFO);
    Put<&aux::ExportPublicKey, kReads>(list, AUX_EXPORT_PUBLIC_KEY);
    Put<&aux::GenerateRequestKeys, kWrites>(list, AUX_GENERATE_REQUEST_KEYS);
    Put<&aux::GetPublicKeyWithRandom, kReads>(list, AUX_GET_PUBLIC_KEY_WITH_RANDOM);
    Put<&aux::DeleteTempKey, kWrites>(list, AUX_DELETE_TEMP_KEY);
    Put<&aux::SignRequestInfo, kWrites>(list, AUX_SIGN_REQUEST_INFO);
    Put<&aux::WriteCertificate, kWrites>(list, AUX_WRITE_CERTIFICATE);
    Put<&aux::SignFileWithDisplay, kWrites>(list, AUX_SIGN_FILE_WITH_DISPLAY);
}

}  // namespace softtoken
