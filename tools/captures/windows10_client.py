#!/usr/bin/python3
"""The SMB1 session of a Windows 10 client, made with impacket's SMB1 client.

Windows 10 and later, when they still speak SMB1, send Session Setup AndX requests
(extended security, NTLMSSP inside SPNEGO) whose NativeOS and NativeLanMan are both
empty UTF-16 strings: after the security blob come one pad byte, which aligns the
strings on the SMB header, and two 2-byte terminators, so ByteCount is
SecurityBlobLength + 5. impacket sends its own strings in ASCII, so this client
rewrites the data of both Session Setup legs into that shape and marks them Unicode.

make-captures.sh runs it against its private Samba on port 139 (NetBIOS session
request first, called name SMBCAPSRV, calling name DESKTOP-W10) while tcpdump
records the "windows10-smb1" capture: logon in two legs, Tree Connect AndX to the
share, NT Create AndX of hello.txt, Read AndX, Close, Tree Disconnect, Logoff AndX.

Usage: windows10_client.py HOST SERVER_NAME USER PASSWORD DOMAIN SHARE
The share must already hold "hello.txt"; the script checks what it reads back
against that file's content given in the HELLO_TEXT environment variable.
"""

import os
import sys

from impacket import smb

from impacket_client import check  # the sibling script of make-captures.sh

SESSION_DATA_START = 32 + 1 + 2 * 12 + 2  # SMB header, WordCount, 12 words, ByteCount


class Windows10SMB(smb.SMB):
    """Sends the Session Setup AndX requests as Windows 10 does."""

    def sendSMB(self, packet):
        if packet['Command'] == smb.SMB.SMB_COM_SESSION_SETUP_ANDX:
            setup = packet['Data'][0]
            fields = setup['Data']  # impacket fills the same structure again for the next leg
            blob = fields['SecurityBlob']
            pad = b'\x00' * ((SESSION_DATA_START + len(blob)) & 1)
            setup['Data'] = blob + pad + b'\x00\x00' + b'\x00\x00'
            check(len(setup['Data']) == len(blob) + 5, 'Session Setup ByteCount = SecurityBlobLength + 5')
            packet['Flags2'] |= smb.SMB.FLAGS2_UNICODE
            super().sendSMB(packet)
            setup['Data'] = fields
            return
        super().sendSMB(packet)


def main():
    host, server_name, user, password, domain, share = sys.argv[1:7]
    hello = os.environ['HELLO_TEXT'].encode('ascii')

    conn = Windows10SMB(server_name, host, my_name='DESKTOP-W10', sess_port=139)
    check(conn._dialects_parameters['Capabilities'] & smb.SMB.CAP_EXTENDED_SECURITY,
          'negotiated extended security')
    conn.login(user, password, domain)
    # impacket clears the Unicode flag for its logon; Windows keeps it for the whole session.
    conn.set_flags(flags2=conn.get_flags()[1] | smb.SMB.FLAGS2_UNICODE)

    tid = conn.tree_connect_andx('\\\\%s\\%s' % (server_name, share.upper()))
    fid = conn.nt_create_andx(tid, 'hello.txt', accessMask=0x120089)
    check(conn.read_andx(tid, fid, 0, len(hello)) == hello, 'Read AndX returns hello.txt')
    conn.close(tid, fid)
    conn.disconnect_tree(tid)
    conn.logoff()
    conn.close_session()


if __name__ == '__main__':
    main()
