#!/usr/bin/env bash
# Records SMB3 logons by Kerberos from a private Samba AD domain controller, with the keytab
# that opens their tickets.
#
#   tools/captures/make-kerberos-captures.sh [OUTDIR]      (default tests/data/captures)
#
# Run as root on Debian 12 (packages samba-ad-dc, samba-ad-provision, krb5-user; see
# scripts/deps.sh). The domain controller, kinit, smbclient and tcpdump run inside a private
# network, mount, PID and UTS namespace: the throw-away domain SAMDOM.EXAMPLE.COM, its DC
# dc1 on the namespace's loopback and the user alice (password Alice-Pass-1) exist only
# there. Writes, in OUTDIR:
#   kerberos-smb3-clear.pcap      smbclient -m SMB3 --use-kerberos=required: a file put, ls, get
#   kerberos-smb3-encrypted.pcap  the same with --client-protection=encrypt
#   kerberos-dc1.keytab           the DC's machine-account keys (samba-tool domain exportkeytab)
# Each capture holds the port 88 exchange (kinit's AS-REQ, the TGS-REQ) and the SMB logon.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
REALM=SAMDOM.EXAMPLE.COM
DOMAIN=SAMDOM
DC=dc1
USER_NAME=alice
USER_PASS='Alice-Pass-1'
ADMIN_PASS='Admin-Pass-1x'

inner_main() {
    local out=$1 work
    work=$(mktemp -d)
    chmod 755 "$work"  # the share below it is reached as alice's own uid
    ip link set lo up
    hostname "$DC.${REALM,,}"
    printf '127.0.0.1 %s.%s %s localhost\n' "$DC" "${REALM,,}" "$DC" >"$work/hosts"
    mount --bind "$work/hosts" /etc/hosts
    samba-tool domain provision --realm="$REALM" --domain="$DOMAIN" --server-role=dc \
        --dns-backend=SAMBA_INTERNAL --host-ip=127.0.0.1 --host-name="$DC" --adminpass="$ADMIN_PASS" \
        --targetdir="$work/dc" --use-rfc2307 --option="interfaces=lo" --option="bind interfaces only=yes" \
        >"$work/provision.log" 2>&1 || { tail -20 "$work/provision.log"; exit 1; }
    local conf=$work/dc/etc/smb.conf
    mkdir -p "$work/share"
    chmod 1777 "$work/share"
    printf 'Kerberos capture file.\n' >"$work/hello.txt"
    cat >>"$conf" <<CONF
[share]
	path = $work/share
	read only = no
CONF
    cat >"$work/krb5.conf" <<KRB5
[libdefaults]
	default_realm = $REALM
	dns_lookup_realm = false
	dns_lookup_kdc = false
	rdns = false
[realms]
	$REALM = {
		kdc = 127.0.0.1
	}
[domain_realm]
	.${REALM,,} = $REALM
KRB5
    export KRB5_CONFIG=$work/krb5.conf
    samba -s "$conf" -D
    for _ in $(seq 60); do
        (exec 3<>/dev/tcp/127.0.0.1/445) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/88) 2>/dev/null && break
        sleep 1
    done
    samba-tool user create "$USER_NAME" "$USER_PASS" -s "$conf" >/dev/null
    samba-tool domain exportkeytab "$out/kerberos-dc1.keytab" --principal="${DC^^}\$" -s "$conf" >/dev/null
    chmod 644 "$out/kerberos-dc1.keytab"

    local name protection
    for name in clear encrypted; do
        protection=$([ "$name" = encrypted ] && echo encrypt || echo off)
        export KRB5CCNAME=FILE:$work/ccache-$name
        tcpdump -i lo -U --immediate-mode -w "$out/kerberos-smb3-$name.pcap" 'tcp port 445 or port 88' 2>/dev/null &
        local dump=$!
        sleep 1
        printf '%s\n' "$USER_PASS" | kinit "$USER_NAME@$REALM" >/dev/null
        smbclient "//$DC.${REALM,,}/share" --use-kerberos=required -m SMB3 --client-protection="$protection" \
            -c "put $work/hello.txt hello.txt; ls; get hello.txt $work/back.txt; del hello.txt" >/dev/null ||
            echo "smbclient ($name) failed" >&2
        sleep 1
        kill "$dump"
        wait "$dump" || true
        kdestroy >/dev/null 2>&1 || true
    done
}

if [ "${KRBCAP_INNER:-}" = 1 ]; then
    inner_main "$1"
    exit
fi
[ "$(id -u)" = 0 ] || { echo "run as root (samba, tcpdump and unshare need it)" >&2; exit 1; }
out=$(mkdir -p "${1:-$REPO/tests/data/captures}" && cd "${1:-$REPO/tests/data/captures}" && pwd)
KRBCAP_INNER=1 unshare --net --mount --pid --uts --fork --mount-proc bash "$HERE/make-kerberos-captures.sh" "$out"
ls -l "$out"/kerberos-*
