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
}

}  // namespace softtoken
