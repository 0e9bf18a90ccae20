#!/usr/bin/env bash
# Sets everything up, then turns a generated sample clip into an encrypted HLS
# package in demo/ with a fresh random key.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_system_packages "${SYSTEM_PACKAGES[@]}"
PYTHON=$(install_into_venv "$(find_python310)")

DEMO="$VANTREL_ROOT/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO"
cd "$DEMO"

log "Generating a 12-second 1280x720 sample clip with a voice-like tone"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1280x720:rate=30" \
    -f lavfi -i "sine=frequency=220:sample_rate=48000,volume=0.3,tremolo=f=4:d=0.7" \
    -t 12 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -ac 2 sample.mp4

log "Making a random 16-byte key and its key info file"
# Readable by their owner only, as the keys vantrel makes.
(
    umask 077
    head -c 16 /dev/urandom > enc.key
    # Line 1: the key URI written into the playlists; line 2: the key file the
    # muxer reads; line 3: the initialisation vector in hexadecimal.
    printf 'enc.key\nenc.key\n%s\n' "$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')" > enc.keyinfo
)

log "Running vantrel.hls_encoder"
"$PYTHON" -c 'import vantrel; vantrel.hls_encoder("sample.mp4", "master.m3u8")'

log "Done. The encrypted package is in $DEMO:"
ls -1 "$DEMO"
echo
echo "Master playlist: $DEMO/master.m3u8"
echo "Play it with:    ffplay -allowed_extensions ALL $DEMO/master.m3u8"
echo "or watch it in a browser: ./scripts/watch.sh"
