#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

# The tests also drive the server with a control point this project did not
# write (GUPnP, through its Python bindings), and check DIDL-Lite against the
# schema that libgupnp-av ships, with xmllint. Streams are played by ffprobe
# and ffmpeg; the streaming benchmark runs nginx beside the server and the
# picture benchmark ImageMagick's convert. The real-library check tags its
# files with mutagen and ffmpeg and dates its photos with exiftool; the
# real-format check encodes FLAC, Ogg Vorbis and Opus with their reference
# encoders (flac, vorbis-tools, opus-tools). The DLNA profiles the server
# names are checked with gupnp-dlna-info, which reads files through
# GStreamer. The iPod import is tested on databases written by libgpod,
# through a small C program the test compiles (gcc, pkg-config).
packages=(cmake make g++ libgtest-dev libgmock-dev libjpeg62-turbo-dev libpng-dev
    python3-gi gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 libgupnp-av-1.0-3 libxml2-utils
    ffmpeg nginx-light imagemagick python3-mutagen libimage-exiftool-perl
    flac vorbis-tools opus-tools
    gupnp-dlna-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-ugly gstreamer1.0-libav
    icecast2 python3-pyftpdlib
    chromium chromium-driver python3-selenium
    gcc pkg-config libgpod-dev)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
