// The two-call protocols: C_GetSlotList and C_GetAttributeValue give lengths first, then values,
// and say what does not fit or is not there. (Slot events, searches, the retry counters and the
// maker's records are read end to end by the daemon's tests.)

#include "SimClient.h"

#include <cstring>

namespace simtest {
namespace {

TEST_F(SimTest, LengthsValuesAndWhatDoesNotFitOrIsMissing) {
    insert(
        5,
        "label = Ivanov\n[certificate]\nid = 0a:0b\nlabel = Ivanov signing\nfile = " KXSIM_TEST_DATA
        "/boris.der\n[certificate]\nlabel = Outside\nid =\nfile = " KXSIM_TEST_DATA
        "/alice.pem\n[certificate]\nlabel = No value\nid = 01\n");
    insert(7, "label = another\n");
    initialize();
    CK_SLOT_ID slots[2] = {};
    CK_ULONG count = 1;
    EXPECT_EQ(C_GetSlotList(CK_TRUE, slots, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    CK_SESSION_HANDLE session = openSession(5);
    auto handles = find(session, {is(CKA_CLASS, certificateClass)});
    ASSERT_EQ(handles.size(), 3u);
    const std::string boris = readFile(KXSIM_TEST_DATA "/boris.der");
    CK_ATTRIBUTE query[] = {{CKA_ID, nullptr, 0}, {CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    ASSERT_EQ(C_GetAttributeValue(session, handles[0], query, 3), CKR_OK);
    EXPECT_EQ(query[0].ulValueLen, 2u);
    EXPECT_EQ(query[1].ulValueLen, std::strlen("Ivanov signing"));
    EXPECT_EQ(query[2].ulValueLen, boris.size());
    EXPECT_EQ(attribute(session, handles[0], CKA_ID), std::string("\x0a\x0b"));
    EXPECT_EQ(attribute(session, handles[0], CKA_VALUE), boris);
    EXPECT_EQ(attribute(session, handles[1], CKA_ID), "") << "an empty id is present, length 0";

    // The object without a value: the attributes it has are still filled in.
    CK_ATTRIBUTE partial[] = {{CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], partial, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(partial[0].ulValueLen, std::strlen("No value"));
    EXPECT_EQ(partial[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    char small[4];
    CK_ATTRIBUTE label = {CKA_LABEL, small, sizeof small};
    EXPECT_EQ(C_GetAttributeValue(session, handles[2], &label, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(label.ulValueLen, CK_UNAVAILABLE_INFORMATION);
}

}  // namespace
}  // namespace simtest
