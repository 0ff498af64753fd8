// SPNEGO negotiation tokens (RFC 4178, [MS-SPNG]) one layer at a time, for ReadSecurityToken
// and for the SMB1 Session Setup members that read them step by step.
//
// negTokenInit ([0]) and negTokenResp ([1]) are each a SEQUENCE of context-tagged fields;
// both carry the mechanism's own token in field [2] (mechToken, responseToken). The reading
// is lenient the way Windows is: the tags of the two outer layers are left to the caller,
// and a field whose OCTET STRING cannot be read gives its own content.
#pragma once

#include "auth/ber.h"
#include "auth/security_token.h"

namespace smbaudit::auth {

// Fields read from one token: negTokenInit2 has five ([0] to [4]).
constexpr uint16_t kSpnegoFields = 5;
constexpr uint8_t kSpnegoMechToken = 2;
constexpr uint8_t kSpnegoNegState = 0;  // of a negTokenResp

// The token's first element and the element inside it; `fields` is that one's content.
// Returns ASN1_OK or the BER reader's code for the layer that could not be read.
int ReadSpnegoSequence(Bytes token, Bytes& fields);

// Up to the list's capacity, stopping at the end or at the first malformed field.
void ReadSpnegoFields(Bytes fields, Asn1ElementList& list);

// The first field whose tag number (low five bits) is `number`, or null.
const Asn1Element* FindSpnegoField(const Asn1ElementList& list, uint8_t number);

// The content of the element inside a field, or the field's content when none can be read.
Bytes SpnegoFieldValue(const Asn1Element& field);

}  // namespace smbaudit::auth
