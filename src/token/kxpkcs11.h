#pragma once

// Declarations of libkxPKCS11-2.so: the standard PKCS#11 interface (types, constants and
// functions from the published header) and the maker's extensions. The daemon calls the
// library directly; the simulated library in sim/ implements exactly this header.

#include <p11-kit/pkcs11.h>

#include <stdint.h>

#if defined(__cplusplus)
extern "C" {
#endif

// User types of the counter extensions.
#define KX_USER_TYPE_SO 0UL
#define KX_USER_TYPE_USER 1UL

// KX_GetISD: the token's identification record; its first 32 bytes hold a blank-padded text
// with the model code ("KX" and three digits).
#define KX_ISD_SIZE 40
#define KX_ISD_TEXT_SIZE 32

// Counter records are arrays of 64-bit words in host byte order, zeroed by the caller.
//  KX_PKI_ReadPinCounters: [0] retries left, [1] retry limit, [2..3] reserved
//  KX_PJ_GetPinCounters:   [0] retry limit, [1] retries left
//  KX_CT1_ReadPinCounters: [0] retry limit, [1] user retries left, [2] administrator retries left
//  KX_TL_ReadPinCounters:  [0] user retry limit, [1] user retries left,
//                          [2] administrator retry limit, [3] administrator retries left
#define KX_PKI_COUNTER_WORDS 4
#define KX_PJ_COUNTER_WORDS 2
#define KX_CT1_COUNTER_WORDS 3
#define KX_TL_COUNTER_WORDS 4

// Policy records are byte arrays; 64-bit values sit unaligned, little-endian, at these offsets.
#define KX_PKI_COMPLEXITY_SIZE 160
#define KX_PKI_COMPLEXITY_LIFETIME_DAYS_OFFSET 45  // PIN lifetime in days, 0: not set
#define KX_PKI_COMPLEXITY_CHANGE_DATE_OFFSET 137   // last change, 8 ASCII digits YYYYMMDD
#define KX_PKI_COMPLEXITY_CHANGE_DATE_SIZE 8

#define KX_PJ_PIN_POLICY_SIZE 32
#define KX_PJ_PIN_POLICY_MAX_AGE_OFFSET 8        // maximum PIN age in days, 0: not set
#define KX_PJ_PIN_POLICY_WARNING_DAYS_OFFSET 16  // warning period in days

#define KX_PJ_CAPABILITIES_SIZE 16
#define KX_PJ_CAPABILITIES_PIN_AGE_OFFSET 3  // current PIN age in days

CK_RV KX_GetISD(CK_SLOT_ID slot, unsigned char isd[KX_ISD_SIZE]);
CK_RV KX_PKI_ReadPinCounters(CK_SLOT_ID slot, CK_ULONG userType,
                             uint64_t counters[KX_PKI_COUNTER_WORDS]);
CK_RV KX_PKI_GetComplexity(CK_SLOT_ID slot, unsigned char record[KX_PKI_COMPLEXITY_SIZE]);
CK_RV KX_PJ_GetPinCounters(CK_SLOT_ID slot, CK_ULONG userType,
                           uint64_t counters[KX_PJ_COUNTER_WORDS]);
CK_RV KX_PJ_GetCapabilities(CK_SLOT_ID slot, unsigned char record[KX_PJ_CAPABILITIES_SIZE]);
CK_RV KX_PJ_GetUserPinPolicy(CK_SLOT_ID slot, unsigned char record[KX_PJ_PIN_POLICY_SIZE]);
CK_RV KX_CT1_ReadPinCounters(CK_SLOT_ID slot, uint64_t counters[KX_CT1_COUNTER_WORDS]);
CK_RV KX_TL_ReadPinCounters(CK_SLOT_ID slot, uint64_t counters[KX_TL_COUNTER_WORDS]);

#if defined(__cplusplus)
}
#endif
