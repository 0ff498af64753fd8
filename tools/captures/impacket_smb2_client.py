#!/usr/bin/python3
"""SMB2/SMB3 traffic that smbclient never produces, made with impacket's SMB3 client.

make-captures.sh runs this against its private Samba while tcpdump records the
"impacket-smb3*" captures. In one session it does, in this order:

  * CREATE (overwrite-if), WRITE, READ and CLOSE of a new file;
  * SET_INFO FileEndOfFileInformation (extend) and FileBasicInformation
    (attributes) on it;
  * SET_INFO FileRenameInformation (impacket's rename helper);
  * a server-side copy: FSCTL_SRV_REQUEST_RESUME_KEY on the source and
    FSCTL_SRV_COPYCHUNK_WRITE on a new destination;
  * SET_INFO FileDispositionInformation (delete) on both files;
  * CREATE with FILE_DELETE_ON_CLOSE (impacket's remove helper);
  * one compound request: CREATE of hello.txt, then a related CLOSE whose
    FileId is all ones (it inherits the one the CREATE opens);
  * QUERY_DIRECTORY of the share root (impacket's listPath);
  * on IPC$: the srvsvc pipe, a DCE/RPC bind written with WRITE and answered
    through READ, then NetrServerGetInfo through IOCTL FSCTL_PIPE_TRANSCEIVE.

Usage: impacket_smb2_client.py HOST PORT USER PASSWORD DOMAIN SHARE DIALECT
DIALECT is 2.1, 3.0 or 3.0.2. impacket encrypts every 3.x session whose
server offers encryption, so the clear captures need a server with
"server smb encrypt = off". The share must hold hello.txt.
"""

import sys
from struct import pack, unpack

from impacket import smb3
from impacket.smb3structs import (
    DELETE, FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_NORMAL, FILE_DELETE_ON_CLOSE, FILE_NON_DIRECTORY_FILE,
    FILE_OPEN, FILE_OVERWRITE_IF, FILE_READ_DATA, FILE_SHARE_DELETE, FILE_SHARE_READ, FILE_SHARE_WRITE,
    FILE_WRITE_DATA, FSCTL_SRV_COPYCHUNK_WRITE, FSCTL_SRV_REQUEST_RESUME_KEY, GENERIC_ALL, SMB2_0_IOCTL_IS_FSCTL,
    SMB2_CLOSE, SMB2_CREATE, SMB2_DIALECT_21, SMB2_DIALECT_30, SMB2_DIALECT_302, SMB2_FILE_BASIC_INFO,
    SMB2_FILE_DISPOSITION_INFO, SMB2_FILE_END_OF_FILE_INFO, SMB2_FLAGS_RELATED_OPERATIONS, SMB2_FLAGS_SIGNED,
    SMB2_IL_IMPERSONATION, SMB2Close, SMB2Create)

sys.path.insert(0, sys.path[0])
from impacket_client import check, srvsvc_bind, srvsvc_server_get_info  # noqa: E402

DIALECTS = {'2.1': SMB2_DIALECT_21, '3.0': SMB2_DIALECT_30, '3.0.2': SMB2_DIALECT_302}
SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
ALL_ONES = b'\xff' * 16


def open_file(conn, tid, name, access, disposition=FILE_OPEN, options=FILE_NON_DIRECTORY_FILE):
    return conn.create(tid, name, access, SHARE_ALL, options, disposition, FILE_ATTRIBUTE_NORMAL)


def compound_create_close(conn, tid, name):
    """CREATE and a related CLOSE in one NetBIOS message; returns the two statuses."""
    create = conn.SMB_PACKET()
    create['Command'] = SMB2_CREATE
    create['TreeID'] = tid
    body = SMB2Create()
    body['ImpersonationLevel'] = SMB2_IL_IMPERSONATION
    body['DesiredAccess'] = FILE_READ_DATA
    body['FileAttributes'] = FILE_ATTRIBUTE_NORMAL
    body['ShareAccess'] = SHARE_ALL
    body['CreateDisposition'] = FILE_OPEN
    body['CreateOptions'] = FILE_NON_DIRECTORY_FILE
    body['NameLength'] = len(name) * 2
    body['Buffer'] = name.encode('utf-16le')
    body['CreateContextsOffset'] = 0
    body['CreateContextsLength'] = 0
    create['Data'] = body

    close = conn.SMB_PACKET()
    close['Command'] = SMB2_CLOSE
    close['TreeID'] = tid
    close['Flags'] = SMB2_FLAGS_RELATED_OPERATIONS
    body = SMB2Close()
    body['FileID'] = ALL_ONES
    close['Data'] = body

    pdus = []
    for packet in (create, close):
        packet['MessageID'] = conn._Connection['SequenceWindow']
        conn._Connection['SequenceWindow'] += 1
        packet['SessionID'] = conn._Session['SessionID']
        packet['CreditCharge'] = 1
        packet['CreditRequestResponse'] = 127
        pdus.append(packet)
    raw = []
    for i, packet in enumerate(pdus):
        if i + 1 < len(pdus):
            data = packet.getData()
            padding = -len(data) % 8
            packet['Data'] = data[64:] + b'\x00' * padding
            packet['NextCommand'] = len(data) + padding
        if conn._Session['SigningActivated']:
            packet['Flags'] |= SMB2_FLAGS_SIGNED
            conn.signSMB(packet)
        raw.append(packet.getData())
    conn._NetBIOSSession.send_packet(b''.join(raw))

    answer = conn._NetBIOSSession.recv_packet(conn._timeout).get_trailer()
    statuses = []
    offset = 0
    while True:
        status, = unpack('<L', answer[offset + 8:offset + 12])
        statuses.append(status)
        following, = unpack('<L', answer[offset + 20:offset + 24])
        if not following:
            return statuses
        offset += following


def main():
    host, port, user, password, domain, share, dialect = sys.argv[1:8]
    conn = smb3.SMB3(host, host, sess_port=int(port), preferredDialect=DIALECTS[dialect])
    check(conn.login(user, password, domain), 'logon as %s' % user)
    tid = conn.connectTree(share)

    content = b'written by impacket over SMB2\n' * 4
    fid = open_file(conn, tid, 'imp-file.txt', GENERIC_ALL, FILE_OVERWRITE_IF)
    conn.write(tid, fid, content, 0, len(content))
    check(conn.read(tid, fid, 0, len(content)) == content, 'READ returns what WRITE stored')
    conn.setInfo(tid, fid, pack('<q', 4096), fileInfoClass=SMB2_FILE_END_OF_FILE_INFO)
    conn.setInfo(tid, fid, pack('<qqqqLL', 0, 0, 0, 0, FILE_ATTRIBUTE_ARCHIVE, 0), fileInfoClass=SMB2_FILE_BASIC_INFO)
    conn.close(tid, fid)

    conn.rename(share, 'imp-file.txt', 'imp-renamed.txt')
    tid = conn.connectTree(share)

    # Server-side copy: the data never crosses the wire as READ or WRITE.
    source = open_file(conn, tid, 'imp-renamed.txt', FILE_READ_DATA | DELETE)
    resume_key = conn.ioctl(tid, source, FSCTL_SRV_REQUEST_RESUME_KEY, SMB2_0_IOCTL_IS_FSCTL, maxOutputResponse=32)[:24]
    target = open_file(conn, tid, 'imp-copy.txt', GENERIC_ALL, FILE_OVERWRITE_IF)
    chunk = pack('<QQLL', 0, 0, len(content), 0)
    copied = conn.ioctl(tid, target, FSCTL_SRV_COPYCHUNK_WRITE, SMB2_0_IOCTL_IS_FSCTL,
                        resume_key + pack('<LL', 1, 0) + chunk, maxOutputResponse=12)
    check(unpack('<LLL', copied)[2] == len(content), 'COPYCHUNK_WRITE copied %d bytes' % len(content))

    # Delete both through FileDispositionInformation.
    for fid in (source, target):
        conn.setInfo(tid, fid, b'\x01', fileInfoClass=SMB2_FILE_DISPOSITION_INFO)
        conn.close(tid, fid)

    # Delete-on-close at CREATE.
    fid = open_file(conn, tid, 'imp-doomed.txt', GENERIC_ALL, FILE_OVERWRITE_IF)
    conn.close(tid, fid)
    fid = open_file(conn, tid, 'imp-doomed.txt', DELETE | FILE_WRITE_DATA, FILE_OPEN,
                    FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE)
    conn.close(tid, fid)

    check(compound_create_close(conn, tid, 'hello.txt') == [0, 0], 'compound CREATE + related CLOSE')
    names = sorted(f.get_longname() for f in conn.listPath(share, '*'))
    check(names == ['.', '..', 'hello.txt'], 'only hello.txt is left: %s' % names)
    conn.disconnectTree(tid)

    ipc = conn.connectTree('IPC$')
    pipe = conn.create(ipc, 'srvsvc', FILE_READ_DATA | FILE_WRITE_DATA, SHARE_ALL, 0, FILE_OPEN, 0)
    conn.writeFile(ipc, pipe, srvsvc_bind())
    check(conn.read(ipc, pipe, 0, 4280)[2] == 12, 'srvsvc bind acknowledged (through READ)')
    check(conn.TransactNamedPipe(ipc, pipe, srvsvc_server_get_info(host))[2] == 2,
          'NetrServerGetInfo answered (through IOCTL)')
    conn.close(ipc, pipe)
    conn.disconnectTree(ipc)
    conn.logoff()


if __name__ == '__main__':
    main()
