// Connection profile codec, SIM card state machine and SMS replies.
#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include "modules/mobile/profile_codec.h"
#include "platform/mobile_client.h"
#include "sim/sim_card.h"
#include "sim/sim_device.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

// The codec logs its refusals: the log lives under the test root.
class ProfileCodec : public ::testing::Test {
protected:
    void SetUp() override { inProcessRoot(); }
};

JsonPtr profileJson(const std::string &extra)
{
    return parseJson("{\"profileID\":3,\"profileName\":\"Office\"," + extra + "}");
}

std::string printed(const cJSON *object)
{
    char *text = cJSON_PrintUnformatted(object);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

TEST_F(ProfileCodec, RecordLayoutIsByteExact)
{
    // The record sizes are checked where the records are declared.
    EXPECT_EQ(offsetof(ConnectionProfile, nameCopy), 32u);
    EXPECT_EQ(offsetof(ConnectionProfile, pdpType), 64u);
    EXPECT_EQ(offsetof(ConnectionProfile, apnType), 65u);
    EXPECT_EQ(offsetof(ConnectionProfile, apn), 66u);
    EXPECT_EQ(offsetof(ConnectionProfile, username), 98u);
    EXPECT_EQ(offsetof(ConnectionProfile, password), 130u);
    EXPECT_EQ(offsetof(ConnectionProfile, authType), 162u);
    EXPECT_EQ(offsetof(ModemStatus, profileCount), 2636u);
    EXPECT_EQ(offsetof(ModemStatus, activeProfile), 2640u);
    EXPECT_EQ(offsetof(ModemConfig, roaming), 12u);
    EXPECT_EQ(offsetof(ModemConfig, preferredModeValid), 188u);
    EXPECT_EQ(offsetof(AvailableNetList, count), 4u);
    EXPECT_EQ(MOBILE_MAX_OPERATORS, 59);

    // The decoded bytes sit at their offsets in the raw record.
    auto json = profileJson("\"pdpType\":1,\"ipv6ApnType\":0,\"ipv6Apn\":\"apn6\",\"ipv6Username\":\"u\","
                            "\"ipv6Password\":\"p\",\"ipv6AuthType\":2");
    ConnectionProfile record;
    memset(&record, 0x5a, sizeof(record));
    int id = -1;
    ASSERT_EQ(decodeProfile(json.get(), &record, &id), 0);
    const unsigned char *raw = reinterpret_cast<const unsigned char *>(&record);
    EXPECT_EQ(id, 3);
    EXPECT_STREQ(reinterpret_cast<const char *>(raw), "Office");
    EXPECT_STREQ(reinterpret_cast<const char *>(raw + 32), "Office");
    EXPECT_EQ(raw[31], 0);  // padded with zeros, not left with old bytes
    EXPECT_EQ(raw[64], 1);
    EXPECT_EQ(raw[65], 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(raw + 66), "apn6");
    EXPECT_STREQ(reinterpret_cast<const char *>(raw + 98), "u");
    EXPECT_STREQ(reinterpret_cast<const char *>(raw + 130), "p");
    EXPECT_EQ(raw[162], 2);
}

TEST_F(ProfileCodec, TextsAreBoundedAndRoundTripExactly)
{
    std::string longText(40, 'n');
    auto json = parseJson("{\"profileID\":\"7\",\"profileName\":\"" + longText +
                          "\",\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"" + longText +
                          "\",\"ipv4Username\":\"" + longText + "\",\"ipv4Password\":\"" + longText +
                          "\",\"ipv4AuthType\":1}");
    ConnectionProfile record;
    memset(&record, 0, sizeof(record));
    int id = -1;
    ASSERT_EQ(decodeProfile(json.get(), &record, &id), 0);
    EXPECT_EQ(id, 0);  // a string "profileID" counts by its integer value
    EXPECT_EQ(std::string(record.name), longText.substr(0, 31));
    EXPECT_EQ(std::string(record.nameCopy), longText.substr(0, 31));
    EXPECT_EQ(std::string(record.password), longText.substr(0, 31));

    for (int pdp = 0; pdp <= 2; pdp++) {
        const char *v = pdp == 1 ? "ipv6" : "ipv4";
        char text[512];
        snprintf(text, sizeof(text),
                 "{\"profileName\":\"P%d\",\"pdpType\":%d,\"%sApnType\":0,\"%sApn\":\"a.b\",\"%sUsername\":\"user\","
                 "\"%sPassword\":\"pw\",\"%sAuthType\":2}",
                 pdp, pdp, v, v, v, v, v);
        auto original = parseJson(text);
        cJSON_AddNumberToObject(original.get(), "profileID", 0);
        ConnectionProfile r;
        memset(&r, 0, sizeof(r));
        ASSERT_EQ(decodeProfile(original.get(), &r, &id), 0) << text;
        JsonPtr encoded(cJSON_CreateObject());
        ASSERT_EQ(encodeProfile(encoded.get(), &r), 0);
        cJSON_AddNumberToObject(encoded.get(), "profileID", 0);
        ConnectionProfile again;
        memset(&again, 0, sizeof(again));
        ASSERT_EQ(decodeProfile(encoded.get(), &again, &id), 0);
        EXPECT_EQ(memcmp(&r, &again, sizeof(r)), 0) << printed(encoded.get());
    }

    // A record from the service without terminators still encodes bounded.
    ConnectionProfile unterminated;
    memset(&unterminated, 'x', sizeof(unterminated));
    unterminated.pdpType = 0;
    unterminated.apnType = 0;
    JsonPtr out(cJSON_CreateObject());
    ASSERT_EQ(encodeProfile(out.get(), &unterminated), 0);
    EXPECT_EQ(jsonString(out.get(), "profileName"), std::string(32, 'x'));
    EXPECT_EQ(jsonString(out.get(), "ipv4Password"), std::string(32, 'x'));
}

TEST_F(ProfileCodec, KeySetsAndRejectedMembers)
{
    ConnectionProfile record;
    int id = 0;
    // pdpType 2 reads only the IPv4 keys.
    auto both = profileJson("\"pdpType\":2,\"ipv4ApnType\":1,\"ipv4Apn\":\"ignored\",\"ipv4Username\":5,"
                            "\"ipv4Password\":\"\",\"ipv4AuthType\":0,\"ipv6ApnType\":0,\"ipv6Apn\":\"v6\","
                            "\"ipv6Username\":\"x\",\"ipv6Password\":\"y\",\"ipv6AuthType\":2");
    memset(&record, 0, sizeof(record));
    ASSERT_EQ(decodeProfile(both.get(), &record, &id), 0);
    EXPECT_STREQ(record.apn, "");       // APN type 1 stores no APN
    EXPECT_STREQ(record.username, "");  // a number is no user name
    EXPECT_EQ(record.authType, 0);
    JsonPtr encoded(cJSON_CreateObject());
    ASSERT_EQ(encodeProfile(encoded.get(), &record), 0);
    EXPECT_EQ(printed(encoded.get()),
              "{\"profileName\":\"Office\",\"pdpType\":2,\"ipv4ApnType\":1,\"ipv4Apn\":\"\",\"ipv4Username\":\"\","
              "\"ipv4Password\":\"\",\"ipv4AuthType\":0,\"ipv6ApnType\":0,\"ipv6Apn\":\"\",\"ipv6Username\":\"\","
              "\"ipv6Password\":\"\",\"ipv6AuthType\":0}");

    const char *rejected[] = {
        "\"pdpType\":3,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
        "\"pdpType\":-1,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
        "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
        "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
        "\"pdpType\":0,\"ipv4ApnType\":2,\"ipv4Apn\":\"a\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
        "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":3",
        "\"pdpType\":1,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\",\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0",
    };
    for (const char *extra : rejected) {
        auto json = profileJson(extra);
        memset(&record, 0, sizeof(record));
        EXPECT_EQ(decodeProfile(json.get(), &record, &id), 1) << extra;
    }
    // "null" would make the whole profile list unreadable afterwards.
    auto named = parseJson("{\"profileID\":1,\"profileName\":\"null\",\"pdpType\":0,\"ipv4ApnType\":1,"
                           "\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0}");
    EXPECT_EQ(decodeProfile(named.get(), &record, &id), 1);
    EXPECT_EQ(decodeProfile(nullptr, &record, &id), 1);

    // Records the encoder refuses or shortens.
    memset(&record, 0, sizeof(record));
    copyBounded(record.name, sizeof(record.name), "null");
    JsonPtr none(cJSON_CreateObject());
    EXPECT_EQ(encodeProfile(none.get(), &record), 1);
    EXPECT_EQ(cJSON_GetArraySize(none.get()), 0);
    copyBounded(record.name, sizeof(record.name), "P");
    record.apnType = 7;
    copyBounded(record.apn, sizeof(record.apn), "apn");
    JsonPtr bad(cJSON_CreateObject());
    EXPECT_EQ(encodeProfile(bad.get(), &record), 1);
    record.pdpType = 9;
    JsonPtr short9(cJSON_CreateObject());
    EXPECT_EQ(encodeProfile(short9.get(), &record), 0);
    EXPECT_EQ(printed(short9.get()), "{\"profileName\":\"P\",\"pdpType\":9}");

    char small[4];
    EXPECT_STREQ(copyBounded(small, sizeof(small), "abcdef"), "abc");
    EXPECT_STREQ(copyBounded(small, sizeof(small), nullptr), "");
}

TEST(SimCard, WrongPinsLeadToPukAndWrongPuksBlock)
{
    SimCard card;
    simCardFactory(&card);
    ASSERT_EQ(simCardSetLock(&card, true, "1234"), MOBILE_CODE_OK);
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_LOCK_ON);
    simCardPowerOn(&card, nullptr);
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_REQUIRED);

    EXPECT_EQ(simCardEnterPin(&card, "0000"), MOBILE_CODE_FAILED);
    EXPECT_EQ(card.pinAttempts, 2);
    EXPECT_EQ(simCardEnterPin(&card, "12a4"), MOBILE_CODE_FAILED);  // malformed: no try spent
    EXPECT_EQ(card.pinAttempts, 2);
    EXPECT_EQ(simCardEnterPin(&card, "1234"), MOBILE_CODE_OK);  // a right PIN restores the tries
    EXPECT_EQ(card.pinAttempts, SIM_PIN_TRIES);

    for (int i = 0; i < SIM_PIN_TRIES; i++)
        EXPECT_EQ(simCardChangePin(&card, "9999", "4321"), MOBILE_CODE_FAILED);
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PUK_REQUIRED);
    EXPECT_EQ(simCardStateCode(&card), SIM_CARD_PRESENT);
    EXPECT_EQ(simCardEnterPin(&card, "1234"), MOBILE_CODE_FAILED);  // the PIN no longer helps

    EXPECT_EQ(simCardEnterPuk(&card, "11111111", "4321"), MOBILE_CODE_FAILED);
    EXPECT_EQ(card.pukAttempts, SIM_PUK_TRIES - 1);
    EXPECT_EQ(simCardEnterPuk(&card, "12345678", "4321"), MOBILE_CODE_OK);
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_LOCK_ON);
    EXPECT_STREQ(card.pin, "4321");
    EXPECT_EQ(card.pukAttempts, SIM_PUK_TRIES);

    for (int i = 0; i < SIM_PIN_TRIES; i++)
        simCardSetLock(&card, false, "0000");
    for (int i = 0; i < SIM_PUK_TRIES; i++)
        EXPECT_EQ(simCardEnterPuk(&card, "00000000", "4321"), MOBILE_CODE_FAILED);
    EXPECT_EQ(simCardStateCode(&card), SIM_CARD_ERROR);
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_BLOCKED);
    EXPECT_EQ(simCardEnterPuk(&card, "12345678", "4321"), MOBILE_CODE_FAILED);
}

TEST(SimCard, PowerOnWithAutomaticUnlock)
{
    SimCard card;
    simCardFactory(&card);
    card.lockOn = true;
    simCardPowerOn(&card, "1234");
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_LOCK_ON);
    // A stale stored PIN spends a try at every start.
    simCardPowerOn(&card, "5555");
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_REQUIRED);
    EXPECT_EQ(card.pinAttempts, 2);
    // A card with its lock off never asks.
    simCardFactory(&card);
    simCardPowerOn(&card, "5555");
    EXPECT_EQ(simCardPinStateCode(&card), SIM_PIN_LOCK_OFF);
    EXPECT_EQ(card.pinAttempts, SIM_PIN_TRIES);
}

TEST(SmsService, RepliesFitTheirBufferAndStayJson)
{
    inProcessRoot();
    char reply[SMS_REPLY_SIZE];
    ASSERT_EQ(simSmsHandle(nullptr, reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "{\"result\":1}");  // no request text
    std::string send = "{\"action\":2,\"number\":\"+1555\",\"text\":\"" + std::string(600, 'z') + "\"}";
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(simSmsHandle(send.c_str(), reply, sizeof(reply)), 1) << reply;

    // SmsHandler fills the status page's 256 bytes and not one more, even
    // for a reply that would be longer; the count fits whole.
    std::vector<char> guarded(2 * SMS_COUNT_REPLY_SIZE, 0x7f);
    EXPECT_EQ(SmsHandler("{\"module\":\"message\",\"action\":8}", guarded.data()), 1);
    EXPECT_GE(jsonInt(parseJson(guarded.data()).get(), "count"), 0);
    SmsHandler("{\"action\":0,\"box\":\"sent\"}", guarded.data());
    EXPECT_LT(strlen(guarded.data()), (size_t)SMS_COUNT_REPLY_SIZE);
    EXPECT_NE(parseJson(guarded.data()), nullptr) << guarded.data();
    for (size_t i = SMS_COUNT_REPLY_SIZE; i < guarded.size(); i++)
        ASSERT_EQ(guarded[i], 0x7f) << "byte " << i << " written";

    // A page too long for the buffer is shortened, never cut mid-text.
    char tiny[700];
    EXPECT_EQ(simSmsHandle("{\"action\":0,\"box\":\"sent\"}", tiny, sizeof(tiny)), 1);
    auto page = parseJson(tiny);
    ASSERT_NE(page, nullptr) << tiny;
    EXPECT_EQ(jsonInt(page.get(), "total"), 3);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(page.get(), "messages")), 0);
    char least[8];
    simSmsHandle("{\"action\":5}", least, sizeof(least));
    EXPECT_LT(strlen(least), sizeof(least));

    EXPECT_EQ(simSmsHandle("{\"action\":99}", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "{\"result\":1}");
    EXPECT_EQ(simSmsHandle("not json", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "{\"result\":1}");
}

}  // namespace
