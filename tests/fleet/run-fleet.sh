#!/usr/bin/env bash
# Applies examples/ansible to a temporary installation (-c local): once in --check mode, which must change
# nothing on disk, then twice with a key pass phrase; checks the users log in, the certificate names this host
# and its key opens with the configured pass phrase, a third run repairs only what drifted (a user and a pass
# phrase lost, a certificate about to expire, also seen by a check run), a CA-signed certificate is installed
# once, and no password leaked.
# Usage: run-fleet.sh MOXSEC SOURCE_DIR
set -euo pipefail
moxsec="$1"; src="$2"
command -v ansible-playbook >/dev/null || { echo "ansible-playbook not installed: skipped"; exit 77; }

tmp="$(mktemp -d)"
sampler=""
cleanup() { [ -z "$sampler" ] || kill "$sampler" 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Nothing of this machine's Ansible set-up may count.
for v in $(env | sed -n 's/^\(ANSIBLE_[A-Z_]*\)=.*/\1/p'); do unset "$v"; done
export HOME="$tmp/home" ANSIBLE_CONFIG="$tmp/play/ansible.cfg" ANSIBLE_HOME="$tmp/ansible-home"
export ANSIBLE_LOCAL_TEMP="$tmp/local-tmp" ANSIBLE_REMOTE_TEMP="$tmp/remote-tmp" ANSIBLE_NOCOLOR=1
# The "host's" temporary folder, where the role stages a signed certificate.
export TMPDIR="$tmp/host-tmp"
mkdir -p "$HOME" "$TMPDIR"

"$src/scripts/install-sample.sh" "$tmp/root" >/dev/null
cp -r "$src/examples/ansible" "$tmp/play"
cd "$tmp/play"

# The shipped vault opens with the documented password and defines every vault variable vars.yml uses.
ansible-vault view --vault-password-file vault-password.example group_vars/all/vault.yml >"$tmp/shipped-vault"
vars=$(grep -o 'vault_[a-z0-9_]*' group_vars/all/vars.yml | sort -u)
[ -n "$vars" ] || fail "vars.yml takes no password from the vault"
for v in $vars; do grep -q "^$v:" "$tmp/shipped-vault" || fail "$v missing from the shipped vault"; done

# Fresh passwords, so that finding one in any output can only be a leak.
openssl rand -hex 16 >"$tmp/vault-pass"
: >"$tmp/secrets"
declare -A password
for v in $vars; do
  password[$v]="Pw-$(openssl rand -hex 10)"
  echo "$v: \"${password[$v]}\"" >>group_vars/all/vault.yml.new
  echo "${password[$v]}" >>"$tmp/secrets"
done
# The key's pass phrase, from the vault as a real set-up would keep it.
passphrase="Pp-$(openssl rand -hex 10)"
echo "vault_fleet_passphrase: \"$passphrase\"" >>group_vars/all/vault.yml.new
echo "$passphrase" >>"$tmp/secrets"
mv group_vars/all/vault.yml.new group_vars/all/vault.yml
ansible-vault encrypt --vault-password-file "$tmp/vault-pass" group_vars/all/vault.yml >/dev/null

# moxsec through a wrapper that records every argument list it is given.
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s"\nexec "%s" "$@"\n' "$tmp/argv.log" "$moxsec" >"$tmp/moxsec"
chmod +x "$tmp/moxsec"
printf '[mox_runtimes]\nlocalhost ansible_connection=local ansible_python_interpreter=%s\n' "$(command -v python3)" \
  >"$tmp/inventory"
printf '{"moxsec_install_package": false, "moxsec_become": false, "moxsec_binary": "%s", "moxsec_root": "%s",
  "moxsec_cert_extra_dns": ["fleet-test.example"], "moxsec_cert_days": 400,
  "moxsec_cert_passphrase": "{{ vault_fleet_passphrase }}"}\n' \
  "$tmp/moxsec" "$tmp/root" >"$tmp/extra.json"

# "user vault_variable" for each user declared present, and the names declared absent.
declared() { python3 -c 'import re, sys, yaml
for u in yaml.safe_load(open("group_vars/all/vars.yml"))["moxsec_users"]:
    if u.get("state", "present") == sys.argv[1]:
        print(u["name"], re.search(r"vault_\w+", u.get("password", "")).group(0) if sys.argv[1] == "present" else "")' "$1"; }
pairs=$(declared present)
absent=$(declared absent)
[ -n "$absent" ] || fail "the example declares no absent user"
# They exist before the first run, so that it has something to remove.
"$moxsec" --root "$tmp/root" -q auth create
for u in $absent; do echo "Former-1" | "$moxsec" --root "$tmp/root" -q users add "$u" --role guest --password-stdin; done

# Samples every process's command line while a playbook runs.
( while :; do cat /proc/[0-9]*/cmdline 2>/dev/null | tr '\0' '\n' | grep -F -f "$tmp/secrets" || true
  done >>"$tmp/cmdline-leaks" ) &
sampler=$!

run() { # run LOG [OPTION]: one playbook run, -v; prints the PLAY RECAP's changed count
  ansible-playbook -v -i "$tmp/inventory" site.yml --vault-password-file "$tmp/vault-pass" -e "@$tmp/extra.json" \
    ${2:-} >"$tmp/$1" 2>&1 || { cat "$tmp/$1" >&2; fail "playbook run $1 failed"; }
  recap=$(grep -E '^localhost +: ok=' "$tmp/$1") || fail "no PLAY RECAP in $1"
  echo "$recap" | grep -q ' failed=0 ' || fail "$1: $recap"
  echo "$recap" | sed -n 's/.* changed=\([0-9]*\) .*/\1/p'
}
# Check mode: every moxsec call is a dry run that says what it would change, and nothing on disk changes.
tree() { find "$tmp/root" -printf '%p %m %s %T@\n' | sort; find "$tmp/root" -type f -exec sha256sum {} + | sort; }
tree >"$tmp/tree.before"
check=$(run check.log --check)
tree | cmp -s - "$tmp/tree.before" || fail "check mode changed the installation"
[ "$check" -gt 0 ] || fail "check mode reported nothing to change"
grep -q -- "--dry-run" "$tmp/argv.log" || fail "check mode did not use moxsec --dry-run"
first=$(run run1.log)
[ "$first" -gt 0 ] || fail "the first run changed nothing"
second=$(run run2.log)
[ "$second" -eq 0 ] || { cat "$tmp/run2.log" >&2; fail "the second run changed $second tasks"; }

# Every declared user logs in; a wrong password does not; the absent one is gone.
n=0
while read -r u v; do
  n=$((n + 1))
  echo "${password[$v]}" | "$moxsec" --root "$tmp/root" -q users check "$u" --password-stdin \
    || fail "$u does not log in"
  echo "not-the-password" | "$moxsec" --root "$tmp/root" -q users check "$u" --password-stdin 2>/dev/null \
    && fail "$u logs in with a wrong password"
done <<<"$pairs"
[ "$n" -ge 2 ] || fail "too few users declared: $n"
for u in $absent; do "$moxsec" --root "$tmp/root" users list | grep -qw "$u" && fail "$u was not removed"; done

# The certificate names this host and its addresses.
san=$(openssl x509 -in "$tmp/root/mox/OpcUa/pki/own/cert.pem" -noout -ext subjectAltName)
for name in "$(uname -n | cut -d. -f1)" "$(python3 -c 'import socket; print(socket.getfqdn())')" fleet-test.example; do
  echo "$san" | grep -q "DNS:$name\b" || fail "no $name in: $san"
done
for ip in $(hostname -I 2>/dev/null | tr ' ' '\n' | grep -E '^[0-9.]+$' | grep -v '^127\.'); do
  echo "$san" | grep -q "IP Address:$ip\b" || fail "no $ip in: $san"
done
# The key is protected, and the configuration holds the pass phrase that opens it.
grep -q ENCRYPTED "$tmp/root/mox/OpcUa/pki/own/private/key.pem" || fail "the key is not protected"
"$moxsec" --root "$tmp/root" -q status || fail "moxsec status finds errors after the play"
subject=$(openssl x509 -in "$tmp/root/mox/OpcUa/pki/own/cert.pem" -noout -subject)
echo "$subject" | grep -q "O = Example Plant" || fail "subject not from the variables: $subject"

# Drift: a user removed by hand comes back (the last one: the first is the only Admin, whom moxsec keeps), and
# a certificate valid for 5 more days is renewed. A check run sees both through moxsec and changes nothing.
read -r u v <<<"$(tail -n1 <<<"$pairs")"
"$moxsec" --root "$tmp/root" -q users remove "$u" --yes
"$moxsec" --root "$tmp/root" -q cert renew opcua --days 5 --yes
tree >"$tmp/tree.before"
mark=$(wc -l <"$tmp/argv.log")
check=$(run check3.log --check)
tree | cmp -s - "$tmp/tree.before" || fail "check mode changed the installation with a renewal due"
[ "$check" -ge 2 ] || fail "check mode with a user missing and a renewal due reported $check changes"
tail -n +$((mark + 1)) "$tmp/argv.log" | grep -q -- "--dry-run.*cert renew opcua --if-expires-within 30" \
  || fail "check mode did not ask moxsec about the renewal"
# An emptied pass phrase, as older versions of the role left it, is written again before the renewal needs it.
echo | "$moxsec" --root "$tmp/root" -q config set-passphrase --passphrase-stdin
"$moxsec" --root "$tmp/root" -q status 2>/dev/null && fail "an emptied pass phrase goes unnoticed by status"
third=$(run run3.log)
[ "$third" -eq 3 ] || fail "repairing a user, the pass phrase and renewing changed $third tasks"
"$moxsec" --root "$tmp/root" -q status || fail "the pass phrase was not repaired"
echo "${password[$v]}" | "$moxsec" --root "$tmp/root" -q users check "$u" --password-stdin \
  || fail "the removed user $u was not restored"
own="$tmp/root/mox/OpcUa/pki/own/cert.pem"
openssl x509 -in "$own" -noout -checkend $((300 * 86400)) >/dev/null || fail "the certificate was not renewed"

# A CA on the controller signs the host's request; the play installs it with the CA as chain, then leaves it,
# and the self-signed certificate it replaces was checked for renewal (not due) on the way.
mkdir "$tmp/ca"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/ca/ca.key" -out "$tmp/ca/ca.pem" -subj "/CN=Fleet CA" \
  -days 30 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign 2>/dev/null
"$moxsec" --root "$tmp/root" -q cert csr opcua --out "$tmp/ca/req.pem"
printf '%s\n' keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment \
  extendedKeyUsage=serverAuth,clientAuth >"$tmp/ca/ext"
openssl x509 -req -in "$tmp/ca/req.pem" -CA "$tmp/ca/ca.pem" -CAkey "$tmp/ca/ca.key" -CAcreateserial -days 300 \
  -copy_extensions copy -extfile "$tmp/ca/ext" -out "$tmp/ca/leaf.pem" 2>/dev/null
printf '{"moxsec_cert_signed": "%s", "moxsec_cert_chain": ["%s"]}\n' "$tmp/ca/leaf.pem" "$tmp/ca/ca.pem" \
  >"$tmp/signed.json"
mark=$(wc -l <"$tmp/argv.log")
fourth=$(run run4.log "-e @$tmp/signed.json")
[ "$fourth" -eq 1 ] || fail "installing the signed certificate changed $fourth tasks"
tail -n +$((mark + 1)) "$tmp/argv.log" | grep -q "cert renew" || fail "the replaced certificate was not checked"
cmp -s "$own" "$tmp/ca/leaf.pem" || fail "the certificate on the host is not the signed one"
ls "$tmp/root/mox/OpcUa/pki/issuers" | grep -q "Fleet CA" || fail "the CA is not in the issuers folder"
fifth=$(run run5.log "-e @$tmp/signed.json")
[ "$fifth" -eq 0 ] || { cat "$tmp/run5.log" >&2; fail "the signed certificate was installed again"; }
[ -z "$(ls -A "$TMPDIR")" ] || fail "copies of the signed certificate were left: $(ls -A "$TMPDIR")"

kill "$sampler"; wait "$sampler" 2>/dev/null || true; sampler=""
[ ! -s "$tmp/cmdline-leaks" ] || fail "a password was seen in a process's command line"
grep -q "users ensure" "$tmp/argv.log" || fail "the playbook never ran moxsec users ensure"
if grep -F -f "$tmp/secrets" "$tmp/argv.log" "$tmp"/run*.log; then fail "a password leaked into the output"; fi
echo "fleet playbook: first run changed $first, second $second, drift repair with renewal $third," \
  "signed install $fourth then $fifth; $n users log in"
