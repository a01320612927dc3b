#!/usr/bin/env bash
# Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/ (checked in; run again
# after changing this script). Each seed is a small example of what the target's input is.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf corpus
mkdir -p corpus/{manifest_fuzzer,http_response_fuzzer,gunzip_fuzzer,strings_fuzzer,url_fuzzer,location_fuzzer,block_map_fuzzer,byte_ranges_fuzzer,signature_fuzzer}

seed() {  # seed TARGET NAME: standard input becomes the seed
  cat > "corpus/$1/$2"
}
md5() { printf '%s' "$1" | md5sum | cut -c1-32; }

# The manifest: the files the target puts in its game folder, with their digests, so that
# up-to-date lines are reachable; every kind of line; paths the rule refuses.
game=$(md5 $'the game\n')
level=$(md5 $'level data\n')
notes=$(md5 $'notes\n')
printf 'master:http://127.0.0.1:8/files/\nkib.exe:%s\ndata/level.pak:%s\nnotes.txt\n' "$game" "$level" | seed manifest_fuzzer up-to-date
printf 'master: http://127.0.0.1:8/files/ \r\nkib.exe : %s\r\n\r\n\tdata/new.pak\r\nsounds/a.ogg:%s\r\n' "$level" "$game" | seed manifest_fuzzer stale-and-missing
printf 'master:http://127.0.0.1:8/f/\nnotes.txt.gz:%s<%s\ndata/level.pak.gz:%s<%s\n' "$notes" "$game" "$game" "$level" | seed manifest_fuzzer compressed
printf 'master:http://a/\nx.gz\nmaster:http://[::1]:81/m/\ndeep/er/still/x.bin:%s\n' "$game" | seed manifest_fuzzer two-masters
printf 'kib.exe\nmaster:http://a/\n' | seed manifest_fuzzer file-before-master
printf 'master:http://a/\n../outside.txt\n' | seed manifest_fuzzer parent-segment
printf 'master:http://a/\n/tmp/x\nsub\\..\\x\n' | seed manifest_fuzzer absolute-and-backslash
printf 'master:http://a/\nsub/...gz:%s<%s\n' "$game" "$game" | seed manifest_fuzzer dot-dot-gz
printf 'master:\nkib.exe\n' | seed manifest_fuzzer empty-master
printf 'master:http://a/\nkib.exe:%s\nmanifest.txt/x\nLogs/Updater.log\nx.PART\ny.unpacking\n' "$game" | seed manifest_fuzzer reserved-names
printf 'master:http://a/\nnotes.txt:%s\nnotes.txt.gz:%s<%s\nKIB.exe\n' "$notes" "$notes" "$game" | seed manifest_fuzzer two-lines-one-file
printf 'master:http://a/\nkib.exe:\ndata/level.pak:%s\n' "${level^^}" | seed manifest_fuzzer digest-case-and-empty
printf 'master:http://a/\nlink.txt\npipe.txt:%s\nup/x.txt\ndata\n' "$game" | seed manifest_fuzzer traps

# The server's answers: plain, with a length, cut short, too long, error pages, odd headers.
printf 'HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello' | seed http_response_fuzzer length
printf 'HTTP/1.1 200 OK\r\nServer: x\r\n\r\nbody until the close' | seed http_response_fuzzer no-length
printf 'HTTP/1.0 200 OK\r\ncontent-length:  3 \r\n\r\nabcdef' | seed http_response_fuzzer longer-than-length
printf 'HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nshort' | seed http_response_fuzzer shorter-than-length
printf 'HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nstill read' | seed http_response_fuzzer zero-length
printf 'HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found' | seed http_response_fuzzer not-found
printf 'HTTP/1.0 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nhello' | seed http_response_fuzzer two-lengths
printf 'HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nx' | seed http_response_fuzzer negative-length
printf 'HTTP/1.0 204 No Content\r\n\r\n' | seed http_response_fuzzer no-content
printf 'HTTP/1.0 200 OK\nContent-Length: 2\n\nok' | seed http_response_fuzzer bare-line-feeds
printf 'ICY 200 OK\r\n\r\nx' | seed http_response_fuzzer not-http

# gzip data made by gzip itself: whole, two members, with trailing bytes, cut short, damaged;
# and a file that is no gzip data at all.
g=corpus/gunzip_fuzzer
printf 'Once upon a time the kib crossed the river.\n' | gzip -9 -n > "$g/text"
{ printf 'first\n' | gzip -n; printf 'second\n' | gzip -n; } > "$g/two-members"
{ printf 'data\n' | gzip -n; printf '\0\0\0\0'; } > "$g/trailing-zeros"
printf 'abcdefghijklmnopqrstuvwxyz%.0s' {1..20} | gzip -n | head -c 30 > "$g/cut-short"
printf 'check value\n' | gzip -n | sed 's/.$/X/' > "$g/bad-trailer" || true
: | gzip -n > "$g/empty-member"
printf 'plain notes, never compressed\n' > "$g/not-gzip"
# Cut where zlib's own gzip reader took the stream for complete (its output buffer full, a copy
# pending), the input this target found.
python3 -c 'import sys; sys.stdout.write(("the kib crossed the river\n" * 2308)[:60000])' | gzip -9 -n > "$g/whole"
head -c 92 "$g/whole" > "$g/cut-with-copy-pending" && rm "$g/whole"
# More than the reader's 1024-byte buffer, several times over.
for i in $(seq 1 300); do echo "line $i of the level file"; done | gzip -9 -n > "$g/several-buffers"
# Bytes that do not compress: a stored block.
for i in $(seq 1 40); do printf '%s' "$i" | sha256sum | cut -c1-64; done | python3 -c \
  'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.stdin.read().replace("\n", "")))' | gzip -n > "$g/stored"
# The original name in the header, as gzip keeps it without -n.
printf 'named\n' > "$g/level.pak" && touch -d @1600000000 "$g/level.pak" && gzip -c "$g/level.pak" > "$g/with-name" && rm "$g/level.pak"

# The string helpers: the first byte picks the helper (see the target); a separator, pattern
# or replacement ends at a backslash and the byte after it; the rest is the text.
printf '\0\n\\ line one\r\n\nline two\n' | seed strings_fuzzer split
printf '\0ab\\ abababaab' | seed strings_fuzzer split-overlapping
printf '\1\r\\ \\ text\r\nwith\rreturns' | seed strings_fuzzer replace
printf '\1abc\\ b\\ aabcbcc' | seed strings_fuzzer replace-recreating
printf '\2 \t kib.exe : abc \r\n\x0b\x0c' | seed strings_fuzzer whitespace
printf '\3  -2147483649\0\0\0\x80' | seed strings_fuzzer numbers

# Addresses.
printf 'http://127.0.0.1:8080/release/manifest?ver=0.3.0' | seed url_fuzzer ipv4
printf 'http://[::1]:81/m/x.bin' | seed url_fuzzer ipv6
printf 'junk http://host/ http://other/' | seed url_fuzzer two-schemes
printf 'host:65536/x' | seed url_fuzzer bad-port
printf '[::1' | seed url_fuzzer open-bracket

# Redirects: the address asked, a line feed, the Location header's value.
printf 'http://h:8/a/b/m?ver=0.3.0\n../c/./d?x#f' | seed location_fuzzer relative
printf 'http://u:p@h/a\n//cdn.example/x y/caf\xc3\xa9' | seed location_fuzzer scheme-relative
printf 'http://h/a\nHTTPS://Secure/x' | seed location_fuzzer absolute
printf 'http://h/a\njavascript:alert(1)' | seed location_fuzzer other-scheme
printf 'http://h/a/b\n?only=query' | seed location_fuzzer query

# The block map: real maps of the fuzzer's local file (every block found), of a short run of
# zeros (a short last block found by its padding), of an empty file and of the local file with
# an insertion; and a hostile one: weak sums that meet every window of the local file's zeros,
# strong hashes that never do.
python3 - <<'PY'
import hashlib, struct
def rolling(block):
    n = len(block)
    low = sum(block) & 0xffff
    high = sum((n - i) * b for i, b in enumerate(block)) & 0xffff
    return (high << 16) | low
def siphash24(data):  # libsodium's crypto_shorthash under a key of 16 zero bytes
    mask = (1 << 64) - 1
    rotl = lambda x, b: ((x << b) | (x >> (64 - b))) & mask
    v = [0x736f6d6570736575, 0x646f72616e646f6d, 0x6c7967656e657261, 0x7465646279746573]
    def rounds(count):
        for _ in range(count):
            v[0] = (v[0] + v[1]) & mask; v[1] = rotl(v[1], 13) ^ v[0]; v[0] = rotl(v[0], 32)
            v[2] = (v[2] + v[3]) & mask; v[3] = rotl(v[3], 16) ^ v[2]
            v[0] = (v[0] + v[3]) & mask; v[3] = rotl(v[3], 21) ^ v[0]
            v[2] = (v[2] + v[1]) & mask; v[1] = rotl(v[1], 17) ^ v[2]; v[2] = rotl(v[2], 32)
    tail = len(data) % 8
    words = [struct.unpack("<Q", data[i:i + 8])[0] for i in range(0, len(data) - tail, 8)]
    words.append((len(data) & 0xff) << 56 | int.from_bytes(data[len(data) - tail:], "little"))
    for m in words:
        v[3] ^= m; rounds(2); v[0] ^= m
    v[2] ^= 0xff; rounds(4)
    return struct.pack("<Q", v[0] ^ v[1] ^ v[2] ^ v[3])
def header(size, block_size, weak_bits, strong_bits, md5=bytes(16)):
    return b"KIBBLKM2" + struct.pack(">QIBBH", size, block_size, weak_bits, strong_bits, 0) + md5 + bytes(8)
def block_map(data, strong_bytes, block_size=2048):  # whole bytes, so that the entries stay aligned
    out = header(len(data), block_size, 16, 8 * strong_bytes, hashlib.md5(data).digest())
    for start in range(0, len(data), block_size):
        block = data[start:start + block_size].ljust(block_size, b"\0")
        out += struct.pack(">H", rolling(block) >> 16) + siphash24(block)[:strong_bytes]
    return out
local = bytes(6000) + bytes(((i * 131) >> 3) & 0xff for i in range(6000, 20000))
for name, data, strong in [("local-file", local, 5), ("short-zeros", bytes(1500), 3),
                           ("empty", b"", 8), ("local-shifted", local[100:9000] + b"new" + local[9000:], 8)]:
    open("corpus/block_map_fuzzer/" + name, "wb").write(block_map(data, strong))
hostile = header(4096 * 512, 512, 16, 40)
for i in range(4096):
    hostile += struct.pack(">H", rolling(bytes(512)) >> 16) + hashlib.md5(b"%d" % i).digest()[:5]
open("corpus/block_map_fuzzer/colliding", "wb").write(hostile)
PY

# Range answers: the Content-Type line, the Content-Range line, then a multipart body as nginx
# sends it (with a preamble line), one cut short, one with a part beyond the file.
part() {  # boundary first last
  printf '\r\n--%s\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes %s-%s/100000\r\n\r\n' "$1" "$2" "$3"
  head -c $(($3 - $2 + 1)) /dev/zero | tr '\0' 'd'
}
{ printf 'multipart/byteranges; boundary=00000000001\nbytes 0-9/100000\n'; part 00000000001 0 9; part 00000000001 500 620
  printf '\r\n--00000000001--\r\n'; } | seed byte_ranges_fuzzer two-parts
{ printf 'multipart/byteranges; boundary="q b"\nbytes 99999-99999/100000\n'; part 'q b' 99990 99999; } | seed byte_ranges_fuzzer cut-short
{ printf 'multipart/byteranges; boundary=x\nbytes 5-1/100000\n'; part x 99999 100005; printf '\r\n--x--\r\n'; } | seed byte_ranges_fuzzer beyond-the-file

# Signatures: a public key, a NUL byte, and a signature over the target's fixed manifest, made
# by Debian's minisign with a throwaway key: both kinds, with and without expiry, a comment
# without a timestamp, a release older than the target's installed one, and another key.
keys=$(mktemp -d)
trap 'rm -rf "$keys"' EXIT
printf 'master:http://127.0.0.1:8/files/\nkib.exe:0123456789abcdef0123456789abcdef\n' >"$keys/manifest"
minisign -G -W -p "$keys/k.pub" -s "$keys/k.key" >/dev/null
minisign -G -W -p "$keys/other.pub" -s "$keys/other.key" >/dev/null
signed() {  # NAME PUBLIC-KEY TRUSTED-COMMENT [minisign options]: a seed signed with the key's pair
  local name=$1 key=$2 comment=$3
  shift 3
  minisign -S -s "$keys/$key.key" -m "$keys/manifest" -x "$keys/sig" -t "$comment" "$@" >/dev/null
  { cat "$keys/k.pub"; printf '\0'; cat "$keys/sig"; } | seed signature_fuzzer "$name"
}
signed prehashed k $'timestamp:1750000000\tfile:manifest\thashed'
signed legacy k $'timestamp:1750000000\tfile:manifest' -l
signed expires k $'timestamp:1750000000\tfile:manifest\texpires:1850000000'
signed expired k $'timestamp:1750000000\texpires:1750000001'
signed no-timestamp k 'file:manifest'
signed older k $'timestamp:1600000000\tfile:manifest'
signed other-key other $'timestamp:1750000000'
