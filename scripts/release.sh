#!/usr/bin/env bash
# make release: builds the committed tree (HEAD) afresh and writes
# dist/velquist-<version>/ with the shipped executables and SHA256SUMS,
# Authenticode-signed when a certificate is given. docs/releasing.md explains
# the variables:
#   SIGN_CERT + SIGN_KEY        PEM certificate chain (signer first) and key
#   SIGN_PKCS12                 or a PKCS#12 bundle instead of both
#   SIGN_PASS_FILE              password of the key, bundle or token (first line)
#   SIGN_PKCS11_MODULE          key on a PKCS#11 token: SIGN_KEY is its pkcs11: URI
#   SIGN_PKCS11_ENGINE          OpenSSL engine for that module, when it needs one
#   SIGN_TIMESTAMP_URL          RFC 3161 time-stamp server
#   DIST_DIR                    where releases go instead of dist/
# Nothing is written under DIST_DIR until every file is built, signed and
# summed; a failure leaves DIST_DIR as it was.
set -euo pipefail

# Paths given relative to where the caller stands, before moving to the checkout.
for var in SIGN_CERT SIGN_KEY SIGN_PKCS12 SIGN_PASS_FILE SIGN_PKCS11_MODULE DIST_DIR; do
    case ${!var:-} in
        ''|/*|pkcs11:*) ;;
        *) printf -v "$var" '%s' "$PWD/${!var}" ;;
    esac
done
cd "$(dirname "$0")/.."

# What a release ships and signs, in this order in SHA256SUMS: CMake targets
# of the Windows build, each giving build/windows/<target>.exe. Every target
# is built reproducibly, so shipping one more is a matter of this line.
SHIPPED=(velquist velquist-check)

die() { echo "release: $*" >&2; exit 1; }

need_file() {  # VAR-NAME: the variable must name a readable file
    local path=${!1}
    [ -e "$path" ] || die "$1=$path: no such file"
    [ -f "$path" ] || die "$1=$path: not a file"
    [ -r "$path" ] || die "$1=$path: cannot be read"
    head -c1 "$path" >/dev/null 2>&1 || die "$1=$path: cannot be read"
}

SIGN_CERT=${SIGN_CERT:-} SIGN_KEY=${SIGN_KEY:-} SIGN_PKCS12=${SIGN_PKCS12:-}
SIGN_PASS_FILE=${SIGN_PASS_FILE:-} SIGN_PKCS11_MODULE=${SIGN_PKCS11_MODULE:-}
SIGN_PKCS11_ENGINE=${SIGN_PKCS11_ENGINE:-} SIGN_TIMESTAMP_URL=${SIGN_TIMESTAMP_URL:-}

# ---------------------------------------------------------------- inputs
mode=unsigned
if [ -n "$SIGN_PKCS12" ]; then
    [ -z "$SIGN_CERT$SIGN_KEY$SIGN_PKCS11_MODULE" ] ||
        die "SIGN_PKCS12 holds certificate and key: give it alone, without SIGN_CERT, SIGN_KEY or SIGN_PKCS11_MODULE"
    mode=pkcs12
elif [ -n "$SIGN_CERT$SIGN_KEY$SIGN_PKCS11_MODULE" ]; then
    [ -n "$SIGN_CERT" ] || die "SIGN_CERT is missing: signing needs the certificate chain as well as the key"
    [ -n "$SIGN_KEY" ] || die "SIGN_KEY is missing: signing needs the private key as well as the certificate"
    mode=pem
    [ -z "$SIGN_PKCS11_MODULE" ] || mode=pkcs11
fi
if [ "$mode" = unsigned ]; then
    for var in SIGN_PASS_FILE SIGN_TIMESTAMP_URL SIGN_PKCS11_ENGINE; do
        [ -z "${!var}" ] || die "$var is set but nothing to sign with: set SIGN_CERT and SIGN_KEY, or SIGN_PKCS12"
    done
fi
[ -z "$SIGN_PKCS11_ENGINE" ] || [ "$mode" = pkcs11 ] || die "SIGN_PKCS11_ENGINE needs SIGN_PKCS11_MODULE"

work=$(mktemp -d)
stage=
trap 'rm -rf "$work" ${stage:+"$stage"}' EXIT
chmod 700 "$work"

# openssl must never prompt: with no password file, an encrypted key fails here.
passin=(-passin pass:)
if [ -n "$SIGN_PASS_FILE" ]; then
    need_file SIGN_PASS_FILE
    passin=(-passin "file:$SIGN_PASS_FILE")
fi

pkcs12() {  # openssl pkcs12 ARGS...: bundles exported by older Windows use legacy ciphers
    openssl pkcs12 "$@" 2>/dev/null || openssl pkcs12 -legacy "$@" 2>/dev/null
}

check_signer() {  # PEM-FILE (signer first) VAR-NAME
    local cert=$1 var=$2 eku start
    openssl x509 -in "$cert" -noout 2>/dev/null || die "$var: no PEM certificate in ${!var}"
    openssl x509 -in "$cert" -noout -checkend 0 >/dev/null ||
        die "$var: the certificate expired on $(openssl x509 -in "$cert" -noout -enddate | cut -d= -f2)"
    start=$(openssl x509 -in "$cert" -noout -startdate | cut -d= -f2)
    [ "$(date -d "$start" +%s)" -le "$(date +%s)" ] || die "$var: the certificate is not valid before $start"
    eku=$(openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | sed -n '2,$p' | sed 's/^ *//')
    case ", $eku," in
        *", Code Signing,"*) ;;
        *) die "$var: the certificate is not for code signing (extended key usage: ${eku:-none})" ;;
    esac
}

same_key() {  # CERT-PEM PUBKEY-PEM VAR-NAME
    [ "$(openssl x509 -in "$1" -noout -pubkey)" = "$(cat "$2")" ] ||
        die "$3: the private key does not match the certificate's public key"
}

sign_args=()
case $mode in
    pem|pkcs11)
        need_file SIGN_CERT
        check_signer "$SIGN_CERT" SIGN_CERT
        if [ "$mode" = pem ]; then
            need_file SIGN_KEY
            openssl pkey -in "$SIGN_KEY" "${passin[@]}" -pubout -out "$work/key.pub" 2>/dev/null ||
                die "SIGN_KEY: cannot read a private key from $SIGN_KEY (wrong format, or encrypted without the right SIGN_PASS_FILE)"
            same_key "$SIGN_CERT" "$work/key.pub" SIGN_KEY
        else
            # The key never leaves the token: osslsigncode checks it against
            # the chain only as it signs, and accepts one that matches the
            # CA's certificate rather than the signer's.
            need_file SIGN_PKCS11_MODULE
            sign_args+=(-pkcs11module "$SIGN_PKCS11_MODULE")
            [ -z "$SIGN_PKCS11_ENGINE" ] || sign_args+=(-pkcs11engine "$SIGN_PKCS11_ENGINE")
        fi
        sign_args+=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
        ;;
    pkcs12)
        need_file SIGN_PKCS12
        pkcs12 -in "$SIGN_PKCS12" "${passin[@]}" -nokeys -clcerts -out "$work/signer.pem" ||
            die "SIGN_PKCS12: cannot open $SIGN_PKCS12 (not a PKCS#12 file, or the password in SIGN_PASS_FILE is wrong or missing)"
        check_signer "$work/signer.pem" SIGN_PKCS12
        pkcs12 -in "$SIGN_PKCS12" "${passin[@]}" -nocerts -nodes |
            openssl pkey -pubout -out "$work/key.pub" 2>/dev/null ||
            die "SIGN_PKCS12: no private key in $SIGN_PKCS12"
        same_key "$work/signer.pem" "$work/key.pub" SIGN_PKCS12
        sign_args+=(-pkcs12 "$SIGN_PKCS12")
        ;;
esac
# The password goes by file, never on a command line where ps would show it.
[ -z "$SIGN_PASS_FILE" ] || sign_args+=(-readpass "$SIGN_PASS_FILE")
[ -z "$SIGN_TIMESTAMP_URL" ] || sign_args+=(-ts "$SIGN_TIMESTAMP_URL")

# ---------------------------------------------------------------- build
git rev-parse -q --verify HEAD >/dev/null || die "no commit to release"
commit=$(git rev-parse --short HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release: uncommitted changes are left out: building commit $commit as committed"
fi
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(velquist VERSION \([0-9][0-9.]*\).*/\1/p')
[ -n "$version" ] || die "no project(velquist VERSION ...) in the committed CMakeLists.txt"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct HEAD)}

mkdir "$work/src"
git archive --format=tar HEAD | tar -x -C "$work/src"
echo "release: building velquist $version from commit $commit"
make -C "$work/src" --no-print-directory exe EXE_TARGETS="${SHIPPED[*]}" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; die "the build failed"; }

# ---------------------------------------------------------------- package
dist=${DIST_DIR:-dist}
mkdir -p "$dist"
stage=$(mktemp -d "$dist/.velquist-$version.XXXXXX")
out=$stage/velquist-$version
mkdir "$out"
for target in "${SHIPPED[@]}"; do
    built=$work/src/build/windows/$target.exe
    [ -f "$built" ] || die "the build made no $target.exe"
    if [ "$mode" = unsigned ]; then
        cp "$built" "$out/"
        continue
    fi
    osslsigncode sign "${sign_args[@]}" -h sha256 -n Velquist \
        -in "$built" -out "$out/$target.exe" >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; die "signing $target.exe failed"; }
    # Anyone must be able to check a signed file against the source.
    osslsigncode remove-signature -in "$out/$target.exe" -out "$work/unsigned.exe" >/dev/null 2>&1 &&
        cmp -s "$built" "$work/unsigned.exe" ||
        die "$target.exe without its signature is not the file that was built"
    rm -f "$work/unsigned.exe"
done
(cd "$out" && sha256sum -- "${SHIPPED[@]/%/.exe}" >SHA256SUMS && sha256sum -c --quiet SHA256SUMS) ||
    die "SHA256SUMS does not check"

final=$dist/velquist-$version
[ ! -e "$final" ] || mv "$final" "$stage/previous"
mv -T "$out" "$final"
echo "release: $final ($([ "$mode" = unsigned ] && echo unsigned || echo signed), commit $commit)"
(cd "$final" && sed 's/^/  /' SHA256SUMS)
