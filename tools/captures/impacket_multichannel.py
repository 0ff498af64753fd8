#!/usr/bin/python3
"""SMB 3.0.2 multichannel: one session over two TCP connections, made with impacket.

make-captures.sh runs this against its private Samba while tcpdump records the
"multichannel" capture. impacket does not bind channels itself (its session setup
leaves the binding flag as a to-do), so this script does the binding exchange:

  * channel 1: NEGOTIATE (client GUID G, multichannel capability), NTLMSSP logon,
    TREE_CONNECT, CREATE and READ of hello.txt;
  * channel 2, a second TCP connection: NEGOTIATE with the same client GUID, then
    SESSION_SETUP with the binding flag and channel 1's SessionId, the NTLMSSP
    exchange again, each request signed with the session's signing key
    (SP800-108 KDF of the session key, label "SMB2AESCMAC", context "SmbSign");
  * channel 2, signing with the key of the binding's own logon: TREE_CONNECT, CREATE, READ and CLOSE of hello.txt, TREE_DISCONNECT;
  * channel 1: CLOSE of its handle, TREE_DISCONNECT and LOGOFF, which ends the
    session on both channels.

Usage: impacket_multichannel.py HOST PORT USER PASSWORD DOMAIN SHARE
The server must not encrypt ("server smb encrypt = off") and must support
multichannel ("server multi channel support = yes"); the share must hold hello.txt.
"""

import sys

from impacket import crypto, ntlm, smb3
from impacket.smb3structs import (
    FILE_ATTRIBUTE_NORMAL, FILE_NON_DIRECTORY_FILE, FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ,
    SMB2_DIALECT_302, SMB2_FLAGS_SIGNED, SMB2_GLOBAL_CAP_MULTI_CHANNEL, SMB2_NEGOTIATE_SIGNING_ENABLED, SMB2_SESSION_SETUP,
    SMB2SessionSetup)
from impacket.spnego import SPNEGO_NegTokenInit, SPNEGO_NegTokenResp, TypesMech

sys.path.insert(0, sys.path[0])
from impacket_client import check  # noqa: E402

CLIENT_GUID = b'smbaudit-channel'  # 16 bytes, the same on both channels
SMB2_SESSION_FLAG_BINDING = 0x01
STATUS_SUCCESS = 0
STATUS_MORE_PROCESSING_REQUIRED = 0xC0000016


class Channel(smb3.SMB3):
    """impacket's SMB3 connection, negotiating with a fixed client GUID and the
    multichannel capability (a server binds channels of one client only)."""

    def negotiateSession(self, preferredDialect=None, negSessionResponse=None):
        self.ClientGuid = CLIENT_GUID
        plain = smb3.SMB2_GLOBAL_CAP_ENCRYPTION
        smb3.SMB2_GLOBAL_CAP_ENCRYPTION = plain | SMB2_GLOBAL_CAP_MULTI_CHANNEL
        try:
            return super().negotiateSession(preferredDialect, negSessionResponse)
        finally:
            smb3.SMB2_GLOBAL_CAP_ENCRYPTION = plain


def session_setup(conn, token):
    body = SMB2SessionSetup()
    body['Flags'] = SMB2_SESSION_FLAG_BINDING
    body['SecurityMode'] = SMB2_NEGOTIATE_SIGNING_ENABLED
    body['SecurityBufferLength'] = len(token)
    body['Buffer'] = token
    packet = conn.SMB_PACKET()
    packet['Command'] = SMB2_SESSION_SETUP
    packet['Data'] = body
    # impacket signs from the third message on; a binding request is signed from its first.
    packet['MessageID'] = conn._Connection['SequenceWindow']
    conn._Connection['SequenceWindow'] += 1
    packet['SessionID'] = conn._Session['SessionID']
    packet['CreditCharge'] = 1
    packet['Flags'] = SMB2_FLAGS_SIGNED
    conn.signSMB(packet)
    conn._NetBIOSSession.send_packet(packet.getData())
    return conn.recvSMB(packet['MessageID'])


def signing_key_of(session_key):
    return crypto.KDF_CounterMode(session_key, b'SMB2AESCMAC\x00', b'SmbSign\x00', 128)


def bind(channel, first, user, password, domain):
    """Binds `channel` to the session of `first`; the last leg is signed."""
    session = first._Session
    signing_key = signing_key_of(session['SessionKey'])
    channel._Session['SessionID'] = session['SessionID']
    channel._Session['SessionKey'] = session['SessionKey']
    channel._Session['SigningKey'] = signing_key
    blob = SPNEGO_NegTokenInit()
    blob['MechTypes'] = [TypesMech['NTLMSSP - Microsoft NTLM Security Support Provider']]
    negotiate = ntlm.getNTLMSSPType1('', domain, True)
    blob['MechToken'] = negotiate.getData()
    answer = session_setup(channel, blob.getData())
    check(answer['Status'] == STATUS_MORE_PROCESSING_REQUIRED, 'binding: NTLMSSP challenge')
    challenge = SPNEGO_NegTokenResp(smb3.SMB2SessionSetup_Response(answer['Data'])['Buffer'])['ResponseToken']
    authenticate, channel_key = ntlm.getNTLMSSPType3(negotiate, challenge, user, password, domain)
    token = SPNEGO_NegTokenResp()
    token['ResponseToken'] = authenticate.getData()
    channel._Session['SigningActivated'] = True
    answer = session_setup(channel, token.getData())
    check(answer['Status'] == STATUS_SUCCESS, 'binding: channel 2 joins session 0x%x' % session['SessionID'])
    # The channel signs with a key of its own: from the session key of the binding's logon.
    channel._Session['SessionKey'] = channel_key
    channel._Session['SigningKey'] = signing_key_of(channel_key)


def read_hello(conn, tid):
    fid = conn.create(tid, 'hello.txt', FILE_READ_DATA, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE, FILE_OPEN,
                      FILE_ATTRIBUTE_NORMAL)
    check(len(conn.read(tid, fid, 0, 64)) > 0, 'READ of hello.txt')
    return fid


def main():
    host, port, user, password, domain, share = sys.argv[1:7]
    first = Channel(host, host, sess_port=int(port), preferredDialect=SMB2_DIALECT_302)
    check(first.login(user, password, domain), 'channel 1: logon as %s' % user)
    tid1 = first.connectTree(share)
    fid1 = read_hello(first, tid1)

    second = Channel(host, host, sess_port=int(port), preferredDialect=SMB2_DIALECT_302)
    bind(second, first, user, password, domain)
    tid2 = second.connectTree(share)
    second.close(tid2, read_hello(second, tid2))
    second.disconnectTree(tid2)

    first.close(tid1, fid1)
    first.disconnectTree(tid1)
    first.logoff()
    for conn in (second, first):
        conn.close_session()


if __name__ == '__main__':
    main()
