#!/usr/bin/env bash
# Draws Veltrin's pictures with ImageMagick into resources/: the tiled window background, the
# logo, the splash picture, the window icon, the arrow and the desktop icons. Its output is
# committed; run it again only to change the pictures. Deterministic for a given ImageMagick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/resources
fonts=/usr/share/fonts/truetype/lato
heavy=$fonts/Lato-Heavy.ttf
light=$fonts/Lato-Light.ttf
regular=$fonts/Lato-Regular.ttf
amber='#FCCE09'
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Brushed dark console texture. Blurring with tiled virtual pixels makes the noise wrap around,
# so the picture repeats without seams in both directions.
convert -seed 11 -size 1100x733 xc: +noise Random -channel G -separate +channel \
  -virtual-pixel tile -blur 0x18 -auto-level \
  \( -size 1100x733 xc: -seed 12 +noise Random -channel G -separate +channel \
     -virtual-pixel tile -motion-blur 0x14+0 -auto-level \) \
  -compose blend -define compose:args=35 -composite \
  -set colorspace sRGB -type TrueColor +level-colors '#20253a,#3a4353' -type TrueColor -quality 92 "$out/background.jpg"

# A small waveform mark, used by the logo, the splash and the icon.
wave() { # size colour stroke file
  local s=$1 c=$2 w=$3 f=$4 pts="" i
  for i in $(seq 0 64); do
    pts+=" $(awk -v i="$i" -v s="$s" 'BEGIN{x=i*s/64; y=s/2-sin(i/64*6.2832*2)*s*0.32*exp(-((i-32)/22)^2); printf "%.1f,%.1f", x, y}')"
  done
  convert -size "${s}x${s}" xc:none -fill none -stroke "$c" -strokewidth "$w" \
    -draw "polyline$pts" "$f"
}

# Logo, 796x181: the mark and the word on a transparent ground.
wave 150 "$amber" 9 "$tmp/wave.png"
convert -size 796x181 xc:none \
  "$tmp/wave.png" -geometry +8+16 -composite \
  -font "$heavy" -pointsize 150 -fill white -gravity west -annotate +180+0 'Veltrin' \
  -fill "$amber" -draw 'rectangle 182,164 786,171' \
  "$out/logo.png"

# Splash, 706x300; the bottom stays quiet for the "Loading modules..." line.
wave 110 "$amber" 7 "$tmp/wave-small.png"
convert -size 706x300 gradient:'#303844-#1c2033' \
  "$tmp/wave-small.png" -geometry +70+62 -composite \
  -font "$heavy" -pointsize 96 -fill white -gravity northwest -annotate +200+58 'Veltrin' \
  -font "$light" -pointsize 22 -fill '#cfd3dc' -annotate +204+178 'Sound cards and NDI, both ways' \
  -fill "$amber" -draw 'rectangle 204,222 636,225' \
  -quality 92 "$out/splash.jpg"

# Window icon, 197x181: the mark on an amber tile.
wave 150 '#262b3f' 14 "$tmp/wave-icon.png"
convert -size 197x181 xc:none -fill "$amber" -draw 'roundrectangle 4,4 192,176 28,28' \
  "$tmp/wave-icon.png" -gravity center -composite "$tmp/icon.png"
convert "$tmp/icon.png" "$out/icon.ico"

# Desktop icons: the same tile on a square transparent canvas.
convert "$tmp/icon.png" -background none -gravity center -extent 197x197 "$tmp/icon-square.png"
for s in 48 64 128 256; do
  mkdir -p "$out/icons/${s}x${s}"
  convert "$tmp/icon-square.png" -resize "${s}x${s}" -depth 8 -strip "$out/icons/${s}x${s}/com.quorvane.Veltrin.png"
done

# Arrow, 256x256.
convert -size 256x256 xc:none -fill "$amber" \
  -draw 'polygon 40,104 150,104 150,52 226,128 150,204 150,152 40,152' "$out/arrow.png"

# Strip dates and similar ancillary data so that re-running gives the same files.
for f in logo.png arrow.png; do mogrify -strip "$out/$f"; done
mogrify -strip "$out/background.jpg" "$out/splash.jpg"
