#!/usr/bin/python3
"""SMB1 traffic that smbclient never produces, made with impacket's SMB1 client.

make-captures.sh runs this against its private Samba while tcpdump records the
"impacket-smb1" capture. It exercises, in this order:

  * Negotiate without extended security and a plain (non-NTLMSSP) Session
    Setup AndX (WordCount 13, NTLMv1 responses in the password fields);
  * Open AndX (0x2D) of an existing file, the core Read (0x0A), Read Raw
    (0x1A, whose answer is bare data with no SMB header), Close;
  * Open AndX with create+truncate and the core Write (0x0B);
  * NT Create AndX with DELETE access followed by a Trans2
    SET_FILE_INFORMATION (0x32 / 0x0008) that sets DeletePending, once with
    the SMB_SET_FILE_DISPOSITION_INFO level (0x0102) and once with the
    pass-through level 1013 (FileDispositionInformation);
  * impacket's own core Rename (0x07), Delete (0x06), Create Directory (0x00),
    Check Directory (0x10) and Delete Directory (0x01) helpers;
  * on IPC$: NT Create AndX of the srvsvc pipe and two TRANS_TRANSACT_NMPIPE
    Transactions (0x25) on \\PIPE\\ carrying a DCE/RPC bind to srvsvc and a
    NetrServerGetInfo level 101 request.

impacket's TransactNamedPipe() writes the Transaction name in ASCII even when
the session negotiated Unicode, and Samba rejects that, so the pipe
transaction is assembled here with a padded UTF-16LE name.

Usage: impacket_client.py HOST PORT USER PASSWORD DOMAIN SHARE
The share must already hold "hello.txt"; the script checks what it reads back
against that file's content given in the HELLO_TEXT environment variable.
"""

import os
import sys
from struct import pack

from impacket import smb
from impacket.dcerpc.v5 import rpcrt, srvs
from impacket.uuid import uuidtup_to_bin

NDR_SYNTAX = ('8a885d04-1ceb-11c9-9fe8-08002b104860', '2.0')
TRANS_TRANSACT_NMPIPE = 0x0026
FILE_DISPOSITION_INFORMATION = 1013  # pass-through level (FileDispositionInformation)
DELETE = 0x00010000


class StandardSecuritySMB(smb.SMB):
    """SMB1 client that negotiates without extended security.

    Without FLAGS2_EXTENDED_SECURITY in the Negotiate request Samba answers
    with the classic NT LM 0.12 response carrying an 8-byte challenge, which
    is what login_standard() needs.
    """

    def neg_session(self, extended_security=False, negPacket=None):
        # Ask for Unicode from the Negotiate on, as Windows clients do; Samba
        # only answers in Unicode to a client that asked. login_standard()
        # still sends its Session Setup strings in ASCII and then switches
        # Unicode back on for the rest of the session.
        self.set_flags(flags2=self.get_flags()[1] | smb.SMB.FLAGS2_UNICODE)
        return super().neg_session(extended_security=extended_security, negPacket=negPacket)


def check(condition, what):
    if not condition:
        raise SystemExit('impacket_client: check failed: ' + what)
    print('ok:', what)


def transact_named_pipe(conn, tid, fid, payload):
    """TRANS_TRANSACT_NMPIPE with the name \\PIPE\\ in UTF-16LE.

    The byte block of a Transaction starts at offset 67 of the SMB message
    (32-byte header, WordCount, 16 words, ByteCount), so one pad byte puts the
    Unicode name on an even offset, as Windows clients do.
    """
    packet = smb.NewSMBPacket()
    packet['Tid'] = tid
    command = smb.SMBCommand(smb.SMB.SMB_COM_TRANSACTION)
    command['Parameters'] = smb.SMBTransaction_Parameters()
    command['Data'] = smb.SMBTransaction_Data()

    setup = pack('<HH', TRANS_TRANSACT_NMPIPE, fid)
    name = b'\x00' + '\\PIPE\\\x00'.encode('utf-16le')
    offset = 32 + 1 + 28 + len(setup) + 2 + len(name)

    params = command['Parameters']
    params['Setup'] = setup
    params['TotalParameterCount'] = 0
    params['TotalDataCount'] = len(payload)
    params['MaxParameterCount'] = 0
    params['MaxDataCount'] = 4280
    params['ParameterCount'] = 0
    params['ParameterOffset'] = offset
    params['DataCount'] = len(payload)
    params['DataOffset'] = offset

    command['Data']['Name'] = name
    command['Data']['Trans_Parameters'] = b''
    command['Data']['Trans_Data'] = payload
    packet.addCommand(command)
    conn.sendSMB(packet)

    answer = conn.recvSMB()
    check(answer.isValidAnswer(smb.SMB.SMB_COM_TRANSACTION), 'TRANS_TRANSACT_NMPIPE answered')
    response = smb.SMBCommand(answer['Data'][0])
    response_params = smb.SMBTransactionResponse_Parameters(response['Parameters'])
    return response['Data'][-response_params['TotalDataCount']:]


def srvsvc_bind():
    item = rpcrt.CtxItem()
    item['AbstractSyntax'] = srvs.MSRPC_UUID_SRVS
    item['TransferSyntax'] = uuidtup_to_bin(NDR_SYNTAX)
    item['ContextID'] = 0
    item['TransItems'] = 1
    bind = rpcrt.MSRPCBind()
    bind.addCtxItem(item)
    header = rpcrt.MSRPCHeader()
    header['type'] = rpcrt.MSRPC_BIND
    header['flags'] = rpcrt.PFC_FIRST_FRAG | rpcrt.PFC_LAST_FRAG
    header['call_id'] = 1
    header['pduData'] = bind.getData()
    return header.getData()


def srvsvc_server_get_info(host):
    call = srvs.NetrServerGetInfo()
    call['ServerName'] = '\\\\%s\x00' % host
    call['Level'] = 101
    stub = call.getData()
    request = rpcrt.MSRPCRequestHeader()
    request['type'] = rpcrt.MSRPC_REQUEST
    request['flags'] = rpcrt.PFC_FIRST_FRAG | rpcrt.PFC_LAST_FRAG
    request['call_id'] = 2
    request['ctx_id'] = 0
    request['op_num'] = call.opnum
    request['alloc_hint'] = len(stub)
    request['pduData'] = stub
    return request.getData()


def set_delete_pending(conn, tid, fid, level):
    """Trans2 SET_FILE_INFORMATION marking an open file for deletion on close."""
    params = smb.SMBSetFileInformation_Parameters()
    params['FID'] = fid
    params['InformationLevel'] = level
    params['Reserved'] = 0
    info = smb.SMBSetFileDispositionInfo()
    info['DeletePending'] = 1
    conn.send_trans2(tid, smb.SMB.TRANS2_SET_FILE_INFORMATION, '\x00', params.getData(), info.getData())
    answer = conn.recvSMB()
    check(answer.isValidAnswer(smb.SMB.SMB_COM_TRANSACTION2),
          'SET_FILE_INFORMATION level 0x%x accepted' % level)


def delete_via_disposition(conn, tid, name, content, level):
    fid = conn.nt_create_andx(tid, name, disposition=smb.FILE_OVERWRITE_IF,
                              accessMask=0x2019f | DELETE,
                              shareAccessMode=smb.FILE_SHARE_READ | smb.FILE_SHARE_WRITE | smb.FILE_SHARE_DELETE)
    conn.write_andx(tid, fid, content)
    set_delete_pending(conn, tid, fid, level)
    conn.close(tid, fid)


def main():
    host, port, user, password, domain, share = sys.argv[1:7]
    hello = os.environ['HELLO_TEXT'].encode('ascii')

    conn = StandardSecuritySMB('*SMBSERVER', host, sess_port=int(port))
    check(not conn._dialects_parameters['Capabilities'] & smb.SMB.CAP_EXTENDED_SECURITY,
          'negotiated without extended security')
    check(conn.login_standard(user, password, domain) == 1, 'standard (WordCount 13) logon')

    tid = conn.tree_connect_andx('\\\\%s\\%s' % (host, share))

    # Open AndX of an existing file, then the two oldest ways of reading it.
    fid = conn.open_andx(tid, 'hello.txt', smb.SMB_O_OPEN, smb.SMB_ACCESS_READ | smb.SMB_SHARE_DENY_NONE)[0]
    check(conn.read(tid, fid, 0, len(hello)) == hello, 'core Read returns hello.txt')
    check(conn.read_raw(tid, fid, 6, 64) == hello[6:], 'Read Raw returns hello.txt from offset 6')
    conn.close(tid, fid)

    # Open AndX creating a file, written with the core Write.
    created = b'written with SMB_COM_WRITE\n'
    fid = conn.open_andx(tid, 'core-write.txt', smb.SMB_O_CREAT | smb.SMB_O_TRUNC,
                         smb.SMB_ACCESS_READWRITE | smb.SMB_SHARE_DENY_NONE)[0]
    conn.write(tid, fid, created, 0)
    conn.close(tid, fid)

    # Delete-on-close through Trans2 SET_FILE_INFORMATION, both levels.
    delete_via_disposition(conn, tid, 'doomed-0102.txt', b'deleted through level 0x0102\n',
                           smb.SMB_SET_FILE_DISPOSITION_INFO)
    delete_via_disposition(conn, tid, 'doomed-1013.txt', b'deleted through level 1013\n',
                           FILE_DISPOSITION_INFORMATION)
    conn.disconnect_tree(tid)

    # impacket's path helpers: each connects to the share, acts, disconnects.
    conn.rename(share, 'core-write.txt', 'core-renamed.txt')
    conn.remove(share, 'core-renamed.txt')
    conn.mkdir(share, 'impacket-dir')
    conn.rmdir(share, 'impacket-dir')

    # RPC over a named pipe on IPC$.
    ipc = conn.tree_connect_andx('\\\\%s\\IPC$' % host)
    pipe = conn.nt_create_andx(ipc, '\\srvsvc')
    bind_ack = rpcrt.MSRPCHeader(transact_named_pipe(conn, ipc, pipe, srvsvc_bind()))
    check(bind_ack['type'] == rpcrt.MSRPC_BINDACK, 'srvsvc bind acknowledged')
    reply = rpcrt.MSRPCRespHeader(transact_named_pipe(conn, ipc, pipe, srvsvc_server_get_info(host)))
    check(reply['type'] == rpcrt.MSRPC_RESPONSE, 'NetrServerGetInfo answered')
    conn.close(ipc, pipe)
    conn.disconnect_tree(ipc)

    conn.logoff()
    conn.close_session()


if __name__ == '__main__':
    main()
