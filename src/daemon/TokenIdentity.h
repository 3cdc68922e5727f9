#pragma once

#include "token/Token.h"

// Whether the token now in a slot is the one whose record the store holds. Libraries report a
// slot's changes as one event, so a token pulled and another put in before the loop takes the
// event shows only as "present": the record is trusted only after this comparison.
//
// What can be compared: everything a token shows, since nothing else is read without its PIN.
// A token made to show another's data is not told apart by any of it; the comparison is there
// for tokens that really differ, and must not take one token for another that its owner's
// sessions were not opened with.
class TokenIdentity {
public:
    // By what the token tells without a session: label, serial number, applet (from the model
    // field) and ISD (which names the model). One library call each way, so the loop can ask it
    // on the event; it already tells apart tokens with their own serial numbers.
    static bool sameHeader(const Token::Info& stored, const Token::Info& present);
    // And by what the removal matches sessions with: the login profiles and the certificates'
    // fingerprints, in any order. Labels are the user's choice and serial numbers may be blank
    // or alike, while two tokens with other profiles or certificates belong to other sessions.
    static bool same(const Token::Info& stored, const Token::Info& read);
};
