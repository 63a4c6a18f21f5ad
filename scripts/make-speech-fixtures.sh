#!/usr/bin/env bash
# Synthesise the Japanese speech fixtures under tests/fixtures/speech/ with Open JTalk.
#
# The WAVs are committed; the tests read them and need none of these packages. Run this only to
# change or regenerate them (the output is deterministic for a given Open JTalk and voice).
#
# Needs open-jtalk and open-jtalk-mecab-naist-jdic (Debian main) and the voice
# hts-voice-nitech-jp-atr503-m001 (Debian contrib). When the voice is missing, the script adds
# contrib to apt's sources for the install only and removes it afterwards.
#
# Output (16 kHz, mono, 16-bit PCM):
#   plain.wav     one sentence
#   pauses.wav    three sentences separated by two long pauses (1.5 s and 2.0 s)
#   silence.wav   3 s of digital silence
#   noisy.wav     the plain sentence with steady background noise (about 30 dB below the speech)
#
# Usage: scripts/make-speech-fixtures.sh [OUTPUT_DIR]   (default tests/fixtures/speech)
set -euo pipefail
cd "$(dirname "$0")/.."
OUT="${1:-tests/fixtures/speech}"
VOICE_PKG=hts-voice-nitech-jp-atr503-m001
VOICE=/usr/share/hts-voice/nitech-jp-atr503-m001/nitech_jp_atr503_m001.htsvoice
DIC=/var/lib/mecab/dic/open-jtalk/naist-jdic

PLAIN="今日は良い天気なので、午後から散歩に出かけます。"
PAUSE_1="明日の会議は十時から始まります。"
PAUSE_2="資料は前日までに共有してください。"
PAUSE_3="よろしくお願いします。"

LOG_TAG="speech-fixtures"
. scripts/lib/common.sh

SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)

install_voice() {
    [ -z "$(debian_missing "$VOICE_PKG")" ] && return 0
    local list=/etc/apt/sources.list.d/quillory-contrib-tmp.sources
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
    log "adding Debian contrib temporarily to install $VOICE_PKG"
    printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: contrib\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$codename" | "${SUDO[@]}" tee "$list" >/dev/null
    local rc=0
    "${SUDO[@]}" apt-get update -q >&2 || rc=$?
    if [ "$rc" -eq 0 ]; then
        "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$VOICE_PKG" >&2 || rc=$?
    fi
    "${SUDO[@]}" rm -f "$list"
    "${SUDO[@]}" apt-get update -q >/dev/null 2>&1 || true
    [ "$rc" -eq 0 ] || die "could not install $VOICE_PKG from contrib"
}

ensure_debian_packages open-jtalk open-jtalk-mecab-naist-jdic sox
install_voice
[ -f "$VOICE" ] || die "voice file $VOICE not found"
[ -d "$DIC" ] || die "dictionary $DIC not found"

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

# Open JTalk speaks at 48 kHz by default; -s 16000 -p 80 keeps the voice's pitch and speed at 16 kHz.
say() {
    local text="$1" out="$2"
    printf '%s\n' "$text" >"$WORK/text.txt"
    open_jtalk -x "$DIC" -m "$VOICE" -s 16000 -p 80 -ow "$WORK/raw.wav" "$WORK/text.txt"
    # Mono 16-bit, trimmed of the synthesiser's leading and trailing silence, 0.3 s lead-in/out.
    sox -D -R "$WORK/raw.wav" -r 16000 -c 1 -b 16 "$out" silence 1 0.02 0.1% reverse silence 1 0.02 0.1% reverse \
        pad 0.3 0.3
}

mkdir -p "$OUT"
say "$PLAIN" "$OUT/plain.wav"

say "$PAUSE_1" "$WORK/p1.wav"
say "$PAUSE_2" "$WORK/p2.wav"
say "$PAUSE_3" "$WORK/p3.wav"
sox -D -R -n -r 16000 -c 1 -b 16 "$WORK/gap1.wav" trim 0 1.5
sox -D -R -n -r 16000 -c 1 -b 16 "$WORK/gap2.wav" trim 0 2.0
sox -D -R "$WORK/p1.wav" "$WORK/gap1.wav" "$WORK/p2.wav" "$WORK/gap2.wav" "$WORK/p3.wav" "$OUT/pauses.wav"

sox -D -R -n -r 16000 -c 1 -b 16 "$OUT/silence.wav" trim 0 3.0

# Pink noise at a fixed level (sox's generator is seeded for repeatable output).
dur="$(soxi -D "$OUT/plain.wav")"
sox -D -R -n -r 16000 -c 1 -b 16 "$WORK/noise.wav" synth "$dur" pinknoise vol 0.01
sox -D -R -m -v 1 "$OUT/plain.wav" -v 1 "$WORK/noise.wav" -b 16 "$OUT/noisy.wav"

for f in plain pauses silence noisy; do
    log "$f.wav: $(soxi -D "$OUT/$f.wav") s"
done
{
    echo "plain.wav	$PLAIN"
    echo "pauses.wav	$PAUSE_1 | $PAUSE_2 | $PAUSE_3"
    echo "silence.wav	(silence)"
    echo "noisy.wav	$PLAIN (with pink noise)"
} >"$OUT/SENTENCES.tsv"
