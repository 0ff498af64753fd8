#!/usr/bin/env bash
# Records the project's own SMB1, SMB2 and SMB3 captures from a private Samba server.
#
#   tools/captures/make-captures.sh [--no-install] [--only GLOB] [OUTDIR]
#   tools/captures/make-captures.sh [--no-install] --large SIZE_MB [--cipher CIPHER] OUTDIR
#
# Run as root on Debian 12. Missing packages are installed with apt-get. The
# server, its clients and tcpdump all run inside a private network, mount and
# PID namespace (unshare), so nothing listens outside the run, the test user
# exists only inside it and every process ends with it. Each scenario is one
# pcap in OUTDIR (default tests/data/captures/ of this work tree), recorded on
# the namespace's loopback; README.md in that folder describes them.
# The SMB1 scenarios run against a server limited to NT1, the SMB2/3 ones
# against a second configuration (SMB2_02 to SMB3_11) that also logs each
# session's SMB3 keys: for every SMB2/3 scenario NAME.keys lists, per
# session, the session id and the session, signing and both cipher keys.
# --only GLOB records only the scenarios whose names match GLOB.
#
# --large SIZE_MB records only large-smb1-transfer.pcap: repeated put+get of a
# 32 MiB file through smbclient until at least SIZE_MB MiB of file data has
# crossed the wire (--large 520 gives a pcap of about 590 MB). It is a
# benchmark input and is not committed. With --cipher (aes-128-ccm, aes-128-gcm,
# aes-256-ccm or aes-256-gcm) the transfer is SMB 3.1.1 encrypted with that cipher
# instead (large-smb3-CIPHER.pcap; the password is alice's, Alice-Pass-1), the input
# of the end-to-end decryption benchmark.

set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
PYTHON=${PYTHON:-/usr/bin/python3}   # the Debian interpreter that sees python3-impacket

WORKGROUP=CAPTURES
NETBIOS_NAME=SMBCAPSRV
USER_NAME=alice
USER_PASS='Alice-Pass-1'
WRONG_PASS='not-alices-password'
HELLO_TEXT='Hello from the smbaudit capture share.'
LARGE_CHUNK_MB=32

usage() {
    sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'
    exit "${1:-0}"
}

install=1
large_mb=
cipher=
only='*'
outdir=
while [ $# -gt 0 ]; do
    case $1 in
        --no-install) install=0 ;;
        --large) [ $# -ge 2 ] || usage 2; large_mb=$2; shift ;;
        --cipher) [ $# -ge 2 ] || usage 2; cipher=$2; shift ;;
        --only) [ $# -ge 2 ] || usage 2; only=$2; shift ;;
        -h|--help) usage 0 ;;
        -*) echo "unknown option: $1" >&2; usage 2 ;;
        *) [ -z "$outdir" ] || usage 2; outdir=$1 ;;
    esac
    shift
done
if [ -n "$cipher" ]; then
    [[ $cipher =~ ^aes-(128|256)-(ccm|gcm)$ ]] || { echo "--cipher: aes-128-ccm, aes-128-gcm, aes-256-ccm or aes-256-gcm" >&2; exit 2; }
    [ -n "$large_mb" ] || { echo "--cipher goes with --large" >&2; exit 2; }
fi
if [ -n "$large_mb" ]; then
    [[ $large_mb =~ ^[1-9][0-9]*$ ]] || { echo "--large needs a size in MiB" >&2; exit 2; }
    [ -n "$outdir" ] || { echo "--large needs an output directory" >&2; exit 2; }
fi
outdir=${outdir:-$REPO/tests/data/captures}

# ---------------------------------------------------------------------------
# Inside the namespaces: server, clients, captures.
# ---------------------------------------------------------------------------

inner_main() {
    WORK=$(mktemp -d /tmp/smbcap.XXXXXX)
    CONF=$WORK/smb.conf
    SMBD_PID=
    TCPDUMP_PID=
    FAILED=()
    trap inner_cleanup EXIT

    ip link set lo up
    # smbd's RPC helpers (samba-dcerpcd, rpcd_*) log to the built-in paths
    # whatever smb.conf says; keep those files inside the run as well.
    mkdir -p /var/log/samba /run/samba
    mount -t tmpfs smbcap-log /var/log/samba
    mount -t tmpfs smbcap-run /run/samba

    mkdir -p "$WORK"/{private,lock,state,cache,pid,ncalrpc,log,share,public,secure,upload,download,etc}
    chmod 0777 "$WORK/share" "$WORK/public" "$WORK/secure"
    chmod 0755 "$WORK"
    add_private_user
    write_smb_conf nt1
    printf '%s\n%s\n' "$USER_PASS" "$USER_PASS" | smbpasswd -c "$CONF" -s -a "$USER_NAME" >/dev/null
    make_files
    start_smbd 445 139

    SMBCLIENT=(smbclient -s "$CONF" -m NT1 --option='client min protocol=NT1')
    if [ -n "$large_mb" ] && [ -n "$cipher" ]; then
        restart_smbd smb2
        SMBCLIENT=(smbclient -s "$CONF" -m SMB3_11 --client-protection=encrypt
                   --option="client smb3 encryption algorithms=$cipher")
        scenario "large-smb3-$cipher" large_transfer
    elif [ -n "$large_mb" ]; then
        scenario large-smb1-transfer large_transfer
    else
        scenario smb445-files files_over 445 large.bin
        scenario smb139-files files_over 139 large.bin
        scenario null-session-shares null_session_shares
        scenario guest-share guest_share
        scenario bad-logon bad_logon
        scenario rpcclient rpcclient_queries
        scenario impacket-smb1 impacket_smb1
        scenario windows10-smb1 windows10_smb1
        smb2_scenarios
        notice_scenarios
    fi

    if [ ${#FAILED[@]} -gt 0 ]; then
        echo "scenarios that did not behave as expected: ${FAILED[*]} (logs kept in $WORK/log)" >&2
        KEEP_WORK=1
        return 1
    fi
}

inner_cleanup() {
    local rc=$?
    if [ "$rc" != 0 ] && [ -z "${KEEP_WORK:-}" ]; then
        echo "make-captures: stopped with status $rc; work files kept in $WORK" >&2
        KEEP_WORK=1
    fi
    [ -z "$TCPDUMP_PID" ] || { kill -INT "$TCPDUMP_PID" 2>/dev/null; wait "$TCPDUMP_PID" 2>/dev/null; } || true
    stop_smbd
    # Whatever smbd started on demand (samba-dcerpcd, rpcd_*) ends with this
    # PID namespace when this shell, its init, exits.
    umount /var/log/samba /run/samba 2>/dev/null || true
    [ -z "${PASSWD_BOUND:-}" ] || umount /etc/passwd 2>/dev/null || true
    if [ -z "${KEEP_WORK:-}" ]; then rm -rf "$WORK"; fi
    exit "$rc"
}

# The test user lives in a private copy of /etc/passwd bind-mounted over the
# real one for this mount namespace only; smbd and smbpasswd find it via NSS.
add_private_user() {
    getent passwd "$USER_NAME" >/dev/null && return 0
    local uid=2001
    while getent passwd "$uid" >/dev/null; do uid=$((uid + 1)); done
    cp /etc/passwd "$WORK/etc/passwd"
    echo "$USER_NAME:x:$uid:100:smbaudit capture user:/nonexistent:/usr/sbin/nologin" >>"$WORK/etc/passwd"
    mount --bind "$WORK/etc/passwd" /etc/passwd
    PASSWD_BOUND=1
}

# write_smb_conf nt1|smb2|smb2-noencrypt: the SMB1-only server, or one that
# speaks SMB 2.0.2 to 3.1.1 and offers encryption (or, for impacket's clear
# sessions, does not) and has the share "secure" that requires it.
write_smb_conf() {
    local protocol
    case $1 in
        nt1) protocol="    # SMB1 only, on both the direct-hosted and the NetBIOS session port
    server min protocol = NT1
    server max protocol = NT1
    client min protocol = NT1
    client max protocol = NT1
    smb ports = 445 139" ;;
        smb2*) protocol="    # SMB 2.0.2 to 3.1.1 on the direct-hosted port; the SMB3 keys of
    # every session go to the log (read by save_keys)
    server min protocol = SMB2_02
    server max protocol = SMB3
    smb ports = 445
    debug encryption = yes
    server smb encrypt = $([ "$1" = smb2 ] && echo default || echo off)
    server multi channel support = yes" ;;
    esac
    cat >"$CONF" <<EOF
[global]
    workgroup = $WORKGROUP
    netbios name = $NETBIOS_NAME
    server string = smbaudit capture server
    server role = standalone server
    security = user
    passdb backend = tdbsam:$WORK/private/passdb.tdb
$protocol
    interfaces = lo
    bind interfaces only = yes
    # NTLMv1 answers are what a non-extended-security logon carries
    ntlm auth = yes
    # without UNIX extensions smbclient uses the plain CIFS commands
    # (Create/Delete Directory, Delete, Rename) a Windows client would
    smb1 unix extensions = no
    map to guest = Bad User
    guest account = nobody
    load printers = no
    printing = bsd
    printcap name = /dev/null
    disable spoolss = yes
    private dir = $WORK/private
    lock directory = $WORK/lock
    state directory = $WORK/state
    cache directory = $WORK/cache
    pid directory = $WORK/pid
    ncalrpc dir = $WORK/ncalrpc
    log file = $WORK/log/smbd-%m.log
    log level = 1

[share]
    comment = read-write share for user $USER_NAME
    path = $WORK/share
    read only = no
    guest ok = no

[public]
    comment = guest share
    path = $WORK/public
    read only = no
    guest ok = yes
EOF
    [ "$1" = smb2 ] || return 0
    cat >>"$CONF" <<EOF

[secure]
    comment = share that only takes encrypted traffic
    path = $WORK/secure
    read only = no
    guest ok = no
    smb encrypt = required
EOF
}

# Fixed contents so every run transfers the same bytes: a small text file and
# one just above 64 KiB (100 KiB), which needs the large read/write forms.
make_files() {
    printf 'small file written by make-captures.sh\nline two\n' >"$WORK/upload/small.txt"
    pattern_file "$WORK/upload/large.bin" $((100 * 1024))
    pattern_file "$WORK/upload/medium.bin" $((80 * 1024))
    printf '%s' "$HELLO_TEXT" >"$WORK/share/hello.txt"
    chmod 0644 "$WORK/share/hello.txt"
}

pattern_file() {
    awk -v n="$2" 'BEGIN {
        for (i = 0; size < n; i++) {
            line = sprintf("%08d smbaudit capture test data 0123456789\n", i)
            if (size + length(line) > n) line = substr(line, 1, n - size)
            printf "%s", line
            size += length(line)
        }
    }' >"$1"
    [ "$(stat -c %s "$1")" = "$2" ]
}

# start_smbd PORT...: starts smbd and waits until it listens on every PORT.
start_smbd() {
    smbd -s "$CONF" -D
    local port up
    for _ in $(seq 1 50); do
        up=1
        for port in "$@"; do port_open "$port" || up=0; done
        if [ -s "$WORK/pid/smbd.pid" ] && [ "$up" = 1 ]; then
            SMBD_PID=$(cat "$WORK/pid/smbd.pid")
            return 0
        fi
        sleep 0.2
    done
    echo "smbd did not start; see $WORK/log" >&2
    KEEP_WORK=1
    return 1
}

stop_smbd() {
    [ -n "$SMBD_PID" ] || return 0
    smbcontrol -s "$CONF" smbd shutdown >/dev/null 2>&1 || true
    for _ in $(seq 1 25); do kill -0 "$SMBD_PID" 2>/dev/null || break; sleep 0.2; done
    kill "$SMBD_PID" 2>/dev/null || true
    SMBD_PID=
}

# restart_smbd PROFILE: the same users and files, another configuration.
restart_smbd() {
    stop_smbd
    write_smb_conf "$1"
    rm -f "$WORK"/log/smbd-*.log
    start_smbd 445
}

port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# scenario NAME FUNCTION [ARGS...]: runs FUNCTION under tcpdump into NAME.pcap.
scenario() {
    local name=$1; shift
    # shellcheck disable=SC2053
    [[ $name == $only ]] || return 0
    local pcap=$outdir/$name.pcap tlog=$WORK/log/tcpdump-$name.log out=$WORK/log/$name.out
    # Short scenarios need --immediate-mode (and -U), or tcpdump on lo may
    # still hold their packets when it is stopped. The large transfer moves
    # hundreds of MB/s: there per-packet wake-ups and flushes would make the
    # kernel drop packets, so it uses buffered blocks and a large buffer.
    local mode=(--immediate-mode -U -B 32768)
    [ -z "$large_mb" ] || mode=(-B 524288)
    tcpdump -i lo "${mode[@]}" -Z root -s 0 -w "$pcap" 'tcp port 445 or tcp port 139' 2>"$tlog" &
    TCPDUMP_PID=$!
    for _ in $(seq 1 50); do grep -qs 'listening on' "$tlog" && break; sleep 0.1; done
    sleep 0.5
    local ok=1
    "$@" >"$out" 2>&1 || ok=0
    sleep 1   # let the last segments reach the capture before stopping it
    kill -INT "$TCPDUMP_PID"
    wait "$TCPDUMP_PID" || true
    TCPDUMP_PID=
    if ! grep -q '^0 packets dropped by kernel' "$tlog"; then
        echo "tcpdump lost packets: $(grep dropped "$tlog")" >>"$out"
        ok=0
    fi
    [ "$ok" = 0 ] || [ -z "${SAVE_KEYS:-}" ] || save_keys "$outdir/$name.keys" || ok=0
    if [ "$ok" = 1 ]; then
        printf '%-22s ok      %9d bytes\n' "$name" "$(stat -c %s "$pcap")"
    else
        printf '%-22s FAILED  (see %s)\n' "$name" "$out"
        FAILED+=("$name")
    fi
}

# ---- scenarios --------------------------------------------------------------

# files_over PORT BIGFILE [SHARE]: mkdir, put (small and BIGFILE), ls, get
# both back, rename, delete, rmdir, ls. BIGFILE "-" leaves the second file out.
files_over() {
    local port=$1 big=$2 share=${3:-share} files=small.txt put="" get="" del="" f
    [ "$big" = - ] || { files+=" $big"; del="del $big; "; }
    for f in $files; do put+="put $f; "; get+="get $f; "; done
    rm -rf "$WORK/download"/*
    "${SMBCLIENT[@]}" -p "$port" -U "$USER_NAME%$USER_PASS" "//127.0.0.1/$share" -c "\
lcd $WORK/upload; mkdir audit-dir; cd audit-dir; ${put}ls; \
lcd $WORK/download; ${get}\
rename small.txt small-renamed.txt; del small-renamed.txt; ${del}\
cd ..; rmdir audit-dir; ls; logoff; exit" || return 1
    for f in $files; do cmp "$WORK/upload/$f" "$WORK/download/$f" || return 1; done
    [ ! -e "$WORK/$share/audit-dir" ]
}

# Null session: empty user and password, share list through srvsvc on IPC$
# (and the RAP server list smbclient asks for on SMB1).
null_session_shares() {
    local listing
    listing=$("${SMBCLIENT[@]}" -N -U % -L 127.0.0.1) || return 1
    echo "$listing"
    grep -q 'public' <<<"$listing" && grep -q 'share' <<<"$listing"
}

# Guest access to the guest-ok share: a null session listing it, then an
# unknown user whom "map to guest = Bad User" turns into the guest.
guest_share() {
    printf 'guest upload\n' >"$WORK/upload/guest.txt"
    "${SMBCLIENT[@]}" -N -U % //127.0.0.1/public -c 'ls' || return 1
    "${SMBCLIENT[@]}" -U 'mallory%any-password' //127.0.0.1/public -c "\
lcd $WORK/upload; put guest.txt; ls; del guest.txt; exit" || return 1
    [ ! -e "$WORK/public/guest.txt" ]
}

# A logon with a wrong password, then a good logon followed by a tree connect
# to a share that does not exist.
bad_logon() {
    local out rc
    rc=0; out=$("${SMBCLIENT[@]}" -U "$USER_NAME%$WRONG_PASS" //127.0.0.1/share -c 'ls' 2>&1) || rc=$?
    echo "$out"
    [ "$rc" != 0 ] && grep -q NT_STATUS_LOGON_FAILURE <<<"$out" || return 1
    rc=0; out=$("${SMBCLIENT[@]}" -U "$USER_NAME%$USER_PASS" //127.0.0.1/nosuchshare -c 'ls' 2>&1) || rc=$?
    echo "$out"
    [ "$rc" != 0 ] && grep -q NT_STATUS_BAD_NETWORK_NAME <<<"$out"
}

rpcclient_queries() {
    local out
    out=$(rpcclient -s "$CONF" -U "$USER_NAME%$USER_PASS" \
        --option='client min protocol=NT1' --option='client max protocol=NT1' \
        -c 'srvinfo; netshareenumall; lsaquery; enumdomusers' 127.0.0.1) || return 1
    echo "$out"
    grep -q "netname: share" <<<"$out" && grep -q "Domain Name: $WORKGROUP" <<<"$out" &&
        grep -q "user:\[$USER_NAME\]" <<<"$out"
}

impacket_smb1() {
    HELLO_TEXT=$HELLO_TEXT "$PYTHON" "$HERE/impacket_client.py" \
        127.0.0.1 445 "$USER_NAME" "$USER_PASS" "$WORKGROUP" share || return 1
    # everything the client created must be gone again
    [ "$(ls "$WORK/share")" = hello.txt ]
}

rpcclient_smb3() {
    local out
    out=$(rpcclient -s "$CONF" -U "$USER_NAME%$USER_PASS" \
        -c 'srvinfo; netshareenumall; lsaquery; enumdomusers' 127.0.0.1) || return 1
    echo "$out"
    grep -q "netname: share" <<<"$out" && grep -q "Domain Name: $WORKGROUP" <<<"$out" &&
        grep -q "user:\[$USER_NAME\]" <<<"$out"
}

# impacket_smb2 DIALECT: impacket_smb2_client.py's session at DIALECT.
impacket_smb2() {
    "$PYTHON" "$HERE/impacket_smb2_client.py" \
        127.0.0.1 445 "$USER_NAME" "$USER_PASS" "$WORKGROUP" share "$1" || return 1
    [ "$(ls "$WORK/share")" = hello.txt ]
}

# The SMB2/3 scenarios, against the second configuration. Each encrypted
# session has a clear twin doing the same operations.
smb2_scenarios() {
    local d c
    restart_smbd smb2
    SAVE_KEYS=1
    SMBCLIENT=(smbclient -s "$CONF" -m SMB2)
    scenario smb2-files files_over 445 medium.bin
    SMBCLIENT=(smbclient -s "$CONF" -m SMB3)
    scenario smb3-files files_over 445 medium.bin
    scenario smb3-rpcclient rpcclient_smb3
    # the server encrypts the tree of "secure" without being asked
    scenario smb3-share-encrypted files_over 445 - secure
    scenario smb3-share-clear files_over 445 - share
    for d in 00 02; do
        SMBCLIENT=(smbclient -s "$CONF" -m "SMB3_$d")
        scenario "smb3$d-clear" files_over 445 -
        SMBCLIENT+=(--client-protection=encrypt)
        scenario "smb3$d-encrypted" files_over 445 -
    done
    for c in aes-128-ccm aes-128-gcm aes-256-ccm aes-256-gcm; do
        SMBCLIENT=(smbclient -s "$CONF" -m SMB3_11 --option="client smb3 encryption algorithms=$c")
        scenario "smb311-$c-clear" files_over 445 -
        SMBCLIENT+=(--client-protection=encrypt)
        scenario "smb311-$c-encrypted" files_over 445 -
    done
    scenario impacket-smb3-encrypted impacket_smb2 3.0.2
    restart_smbd smb2-noencrypt
    scenario impacket-smb3 impacket_smb2 3.0.2
    scenario impacket-smb21 impacket_smb2 2.1
    scenario multichannel impacket_multichannel
}

# One session on two TCP connections: the second channel binds to the first's session.
impacket_multichannel() {
    "$PYTHON" "$HERE/impacket_multichannel.py" 127.0.0.1 445 "$USER_NAME" "$USER_PASS" "$WORKGROUP" share
}

# save_keys FILE: the keys smbd logged for the sessions of the scenario just
# recorded, one line per session: "session_id=<8 wire bytes in hex>" then
# session_key, signing_key, application_key and, where the dialect encrypts,
# the cipher (1 AES-128-CCM, 2 AES-128-GCM, 3 AES-256-CCM, 4 AES-256-GCM) and
# the keys of client-to-server (server_in) and server-to-client (server_out).
save_keys() {
    local log
    for log in "$WORK"/log/smbd-*.log; do
        awk '
            # "Name [0000] 0A 1B ..." with 16 bytes a line; longer keys go on
            # in lines that start with the next offset ("[0010] ...").
            function hex(   i, h) {
                for (i = 1; i <= NF && $i !~ /^\[00[0-9A-F]0\]$/; i++) {}
                for (i++; i <= NF && $i ~ /^[0-9A-F][0-9A-F]$/; i++) h = h tolower($i)
                return h
            }
            /dumping generated session keys/ { if (line) print line; line = "" }
            /Session Id/    { line = "session_id=" hex() }
            /Session Key/   { line = line " session_key=" hex() }
            /Signing Key/   { line = line " signing_key=" hex() }
            /App Key/       { line = line " application_key=" hex() }
            /Cipher Algo:/  { line = line " cipher=" $NF }
            /ServerIn Key/  { line = line " server_in_key=" hex() }
            /ServerOut Key/ { line = line " server_out_key=" hex() }
            $1 ~ /^\[00[1-9A-F]0\]$/ { line = line hex() }
            END { if (line) print line }' "$log"
        : >"$log"
    done >"$1"
}

# The logon shape of Windows 10 and later (empty NativeOS and NativeLanMan), port 139.
windows10_smb1() {
    HELLO_TEXT=$HELLO_TEXT "$PYTHON" "$HERE/windows10_client.py" \
        127.0.0.1 "$NETBIOS_NAME" "$USER_NAME" "$USER_PASS" "$WORKGROUP" share
}

large_transfer() {
    local rounds=$(( (large_mb + 2 * LARGE_CHUNK_MB - 1) / (2 * LARGE_CHUNK_MB) ))
    local commands="lcd $WORK/upload; " i
    pattern_file "$WORK/upload/chunk.bin" $((LARGE_CHUNK_MB * 1024 * 1024))
    for i in $(seq 1 "$rounds"); do
        commands+="lcd $WORK/upload; put chunk.bin chunk-$i.bin; lcd $WORK/download; get chunk-$i.bin; del chunk-$i.bin; "
    done
    "${SMBCLIENT[@]}" -U "$USER_NAME%$USER_PASS" //127.0.0.1/share -c "${commands}exit" || return 1
    for i in $(seq 1 "$rounds"); do cmp "$WORK/upload/chunk.bin" "$WORK/download/chunk-$i.bin" || return 1; done
}

# ---------------------------------------------------------------------------
# Notice scenarios (issue 16): the traffic each notice of smbaudit must raise.
# Remote execution with impacket's example tools (Samba refuses to create
# services or tasks; the requests are what matters), a password spray, an
# anonymous SAMR session and a ransomware-like burst of file changes.
# ---------------------------------------------------------------------------

IMPACKET_EXAMPLES=/usr/share/doc/python3-impacket/examples
NOTICE_CAPTURES=(notices-psexec notices-smbexec notices-atexec notices-spray notices-anonymous-samr notices-burst
                 notices-admin-share)

notice_scenarios() {
    add_notice_users
    scenario notices-psexec notices_impacket psexec.py whoami
    scenario notices-smbexec notices_impacket smbexec.py
    scenario notices-atexec notices_impacket atexec.py whoami
    scenario notices-spray notices_spray
    scenario notices-anonymous-samr notices_anonymous_samr
    scenario notices-burst notices_burst
    scenario notices-admin-share notices_admin_share
}

# Three more users for the spray (an unknown user would be mapped to the
# guest), and alice in BUILTIN\Administrators so that Samba lets her open the
# service manager: the tools then send the CreateService requests.
add_notice_users() {
    local user uid=3001
    for user in bob carol dave; do
        getent passwd "$user" >/dev/null && continue
        while getent passwd "$uid" >/dev/null; do uid=$((uid + 1)); done
        echo "$user:x:$uid:100:smbaudit capture user:/nonexistent:/usr/sbin/nologin" >>/etc/passwd
        printf '%s\n%s\n' "$USER_PASS" "$USER_PASS" | smbpasswd -c "$CONF" -s -a "$user" >/dev/null
    done
    # alice's primary group (gid 100) stands for BUILTIN\Administrators
    net -s "$CONF" groupmap add sid=S-1-5-32-544 unixgroup="$(getent group 100 | cut -d: -f1)" type=builtin \
        ntgroup=Administrators >/dev/null || true
}

# TOOL [COMMAND]: one run of an impacket example as alice; the tool fails
# against Samba, so only its requests are checked (in the capture).
notices_impacket() {
    local tool=$1; shift
    echo exit | timeout 60 "$PYTHON" "$IMPACKET_EXAMPLES/$tool" \
        "$WORKGROUP/$USER_NAME:$USER_PASS@127.0.0.1" "$@" || true
}

# Five wrong passwords for alice, then one wrong password each for three
# other users, from the same client.
notices_spray() {
    local user out
    for user in alice alice alice alice alice bob carol dave; do
        out=$("${SMBCLIENT[@]}" -U "$user%$WRONG_PASS" //127.0.0.1/share -c 'ls' 2>&1) && return 1
        echo "$out"
    done
    return 0
}

# A null session enumerating the users through the samr pipe.
notices_anonymous_samr() {
    rpcclient -s "$CONF" -U % -N --option='client min protocol=NT1' --option='client max protocol=NT1' \
        -c 'enumdomusers' 127.0.0.1 || true
}

# Tree connects to the administrative shares as remote-execution tools make
# them (Samba has none: both are refused).
notices_admin_share() {
    local share out
    for share in 'ADMIN$' 'C$'; do
        out=$("${SMBCLIENT[@]}" -U "$USER_NAME%$USER_PASS" "//127.0.0.1/$share" -c 'ls' 2>&1) && return 1
        echo "$out"
        grep -q NT_STATUS_BAD_NETWORK_NAME <<<"$out" || return 1
    done
}

# 200 files on the share are rewritten and renamed in one session, as
# ransomware encrypting a share does.
notices_burst() {
    local i commands="lcd $WORK/upload; mkdir burst; cd burst; "
    mkdir -p "$WORK/upload/burst"
    for i in $(seq -w 1 200); do
        printf 'document %s\n' "$i" >"$WORK/upload/burst/doc$i.txt"
        commands+="put burst/doc$i.txt doc$i.txt; "
    done
    "${SMBCLIENT[@]}" -U "$USER_NAME%$USER_PASS" //127.0.0.1/share -c "${commands}exit" >/dev/null || return 1
    commands="lcd $WORK/upload; cd burst; "
    for i in $(seq -w 1 200); do
        printf 'encrypted %s\n' "$i" >"$WORK/upload/burst/doc$i.txt"
        commands+="put burst/doc$i.txt doc$i.txt; rename doc$i.txt doc$i.txt.locked; "
    done
    "${SMBCLIENT[@]}" -U "$USER_NAME%$USER_PASS" //127.0.0.1/share -c "${commands}exit" || return 1
    [ "$(ls "$WORK/share/burst" | grep -c '\.locked$')" = 200 ]
}

# ---------------------------------------------------------------------------
# Outside: packages, then the namespaces, then a summary.
# ---------------------------------------------------------------------------

install_packages() {
    local wanted=(samba smbclient tcpdump python3-impacket tshark) missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing: ${missing[*]}"
    echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# SMB1 and SMB2 commands (hex) seen in each capture and its count of
# encrypted (transform) messages; an SMB1 scenario must show no SMB2 at all.
summarise() {
    command -v tshark >/dev/null || return 0
    local f cmds smb2 fd
    for f in "$@"; do
        cmds=$(tshark -r "$f" -Y smb -T fields -e smb.cmd 2>/dev/null | tr ',' '\n' | sort -u |
            grep -v -x -e '' -e 0xff | tr '\n' ' ')
        smb2=$(tshark -r "$f" -Y smb2 -T fields -e smb2.cmd 2>/dev/null | tr ',' '\n' | sort -un |
            grep -v -x '' | xargs -r printf '0x%02X ')
        fd=$(tshark -r "$f" -Y 'smb2.protocol_id == 0xfd534d42' 2>/dev/null | wc -l)
        printf '%-34s %s%s%s\n' "$(basename "$f")" "${cmds:+SMB1 $cmds}" "${smb2:+SMB2 $smb2}" \
            "$([ "$fd" = 0 ] || echo " transform x$fd")"
    done
}

if [ "${SMBCAP_INNER:-}" = 1 ]; then
    inner_main
    exit
fi

[ "$(id -u)" = 0 ] || { echo "run as root (smbd, tcpdump and unshare need it)" >&2; exit 1; }
[ "$install" = 0 ] || install_packages
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)

args=()
[ -z "$large_mb" ] || args+=(--large "$large_mb")
[ -z "$cipher" ] || args+=(--cipher "$cipher")
rc=0
SMBCAP_INNER=1 unshare --net --mount --pid --fork --mount-proc \
    bash "$HERE/make-captures.sh" "${args[@]}" --only "$only" "$outdir" || rc=$?

if [ -z "$large_mb" ]; then
    for f in "$outdir"/*.pcap; do
        # shellcheck disable=SC2053
        [[ $(basename "$f" .pcap) != $only ]] || summarise "$f"
    done
fi
exit "$rc"
