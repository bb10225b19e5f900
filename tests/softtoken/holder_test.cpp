// The holder's queued actions at each prompt: login, C_Sign, E_InitCard and
// E_ChangePin.
#include <gtest/gtest.h>

#include <memory>

#include "token_test_support.h"

namespace {

class HolderTest : public DemoTokenFixture {
protected:
    void Queue(const std::vector<std::string>& actions) {
        std::vector<std::string> args = {"queue"};
        args.insert(args.end(), actions.begin(), actions.end());
        ASSERT_EQ(dir.Tool(args).exitCode, 0);
    }

    int TriesLeft() {
        unsigned char info[12];
        std::fill(std::begin(info), std::end(info), 0xEE);
        auto getPinInfo = module->Aux<E_GetPinInfo_t>(AUX_GET_PIN_INFO);
        EXPECT_EQ(getPinInfo(1, info), CKR_OK);
        EXPECT_EQ(info[0], 0);
        EXPECT_EQ(info[11], 0);
        return info[3];
    }

};

TEST_F(HolderTest, EachLoginAnswerIsUsedOnce) {
    Queue({"cancel", "timeout@login", "rv:0x30"});
    EXPECT_EQ(module->Login(session), CKR_CANCEL);
    EXPECT_EQ(module->Login(session), CKR_VENDOR_USER_TIMEOUT);
    EXPECT_EQ(module->Login(session), CKR_DEVICE_ERROR);
    EXPECT_EQ(module->Login(session), CKR_OK);  // nothing queued: the holder approves
    EXPECT_EQ(dir.Tool({"show"}).out.find("queue: -\n") != std::string::npos, true);
}

TEST_F(HolderTest, WrongPinSpendsTriesAndLockedPinIsNotAsked) {
    Queue({"wrong-pin", "wrong-pin"});
    EXPECT_EQ(module->Login(session), CKR_PIN_INCORRECT);
    EXPECT_EQ(module->Login(session), CKR_PIN_INCORRECT);
    EXPECT_EQ(TriesLeft(), 4);
    EXPECT_EQ(module->Login(session), CKR_OK);
    EXPECT_EQ(TriesLeft(), 6);  // a correct entry restores the tries

    ASSERT_EQ(dir.Tool({"set-tries", "--tries", "1"}).exitCode, 0);
    ASSERT_EQ(f->C_Logout(session), CKR_OK);
    Queue({"wrong-pin", "cancel"});
    EXPECT_EQ(module->Login(session), CKR_PIN_INCORRECT);
    EXPECT_EQ(TriesLeft(), 0);
    EXPECT_EQ(module->Login(session), CKR_PIN_LOCKED);
    EXPECT_NE(dir.Tool({"show"}).out.find("queue: cancel\n"), std::string::npos);
}

TEST_F(HolderTest, SignConsumesOnlyActionsTaggedForIt) {
    ASSERT_EQ(module->Login(session), CKR_OK);
    CK_OBJECT_HANDLE key = module->KeyAt(session, CKO_PRIVATE_KEY, CKK_RSA, 0);
    Queue({"cancel", "cancel@sign", "timeout@sign"});
    Bytes signature;
    EXPECT_EQ(module->Sign(session, CKM_SHA1_RSA_PKCS, key, ToBytes("x"), signature), CKR_CANCEL);
    EXPECT_EQ(module->Sign(session, CKM_SHA1_RSA_PKCS, key, ToBytes("x"), signature), CKR_VENDOR_USER_TIMEOUT);
    EXPECT_EQ(module->Sign(session, CKM_SHA1_RSA_PKCS, key, ToBytes("x"), signature), CKR_OK);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_NE(dir.Tool({"show"}).out.find("queue: cancel\n"), std::string::npos);
}

TEST_F(HolderTest, ActionsForOtherPointsWaitTheirTurn) {
    Queue({"cancel@changepin", "timeout"});
    EXPECT_EQ(module->Login(session), CKR_VENDOR_USER_TIMEOUT);
    auto changePin = module->Aux<E_ChangePin_t>(AUX_CHANGE_PIN);
    EXPECT_EQ(changePin(session), CKR_CANCEL);
}

TEST_F(HolderTest, InitCardMarksTheTokenInitialised) {
    auto initCard = module->Aux<E_InitCard_t>(AUX_INIT_CARD);
    Queue({"cancel", "timeout"});
    EXPECT_EQ(initCard(1, 0), CKR_CANCEL);
    EXPECT_EQ(initCard(1, 0), CKR_VENDOR_INITCARD_TIMEOUT);
    EXPECT_NE(dir.Tool({"show"}).out.find("initialised: no\n"), std::string::npos);
    EXPECT_EQ(initCard(1, 0), CKR_OK);
    EXPECT_NE(dir.Tool({"show"}).out.find("initialised: yes\n"), std::string::npos);
    EXPECT_EQ(initCard(5, 0), CKR_SLOT_ID_INVALID);
}

TEST_F(HolderTest, ChangePinAnswers) {
    auto changePin = module->Aux<E_ChangePin_t>(AUX_CHANGE_PIN);
    Queue({"wrong-pin", "timeout"});
    EXPECT_EQ(changePin(session), CKR_PIN_INCORRECT);
    EXPECT_EQ(TriesLeft(), 5);
    EXPECT_EQ(changePin(session), CKR_VENDOR_USER_TIMEOUT);
    EXPECT_EQ(changePin(session), CKR_OK);
    EXPECT_EQ(TriesLeft(), 6);
    EXPECT_EQ(changePin(0xBAD), CKR_SESSION_HANDLE_INVALID);

    ASSERT_EQ(dir.Tool({"set-tries", "--tries", "0"}).exitCode, 0);
    Queue({"approve"});
    EXPECT_EQ(changePin(session), CKR_PIN_LOCKED);
    EXPECT_EQ(TriesLeft(), 0);
}

TEST_F(HolderTest, ToolRejectsMalformedActionsAndClears) {
    EXPECT_EQ(dir.Tool({"queue", "dance"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"queue", "cancel@nowhere"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"queue", "rv:zz"}).exitCode, 1);
    EXPECT_EQ(dir.Tool({"queue", "cancel", "oops"}).exitCode, 1);  // nothing of a bad line is queued
    EXPECT_NE(dir.Tool({"show"}).out.find("queue: -\n"), std::string::npos);
    Queue({"cancel@signfile", "rv:0xA4@signrequest", "approve@deletekey"});
    EXPECT_NE(dir.Tool({"show"}).out.find("queue: cancel@signfile rv:0xa4@signrequest approve@deletekey\n"),
              std::string::npos);
    ASSERT_EQ(dir.Tool({"queue", "--clear"}).exitCode, 0);
    EXPECT_NE(dir.Tool({"show"}).out.find("queue: -\n"), std::string::npos);
}

}  // namespace
