#!/usr/bin/env bash
# Makes small seed files for each reader's fuzz target: bash fuzz/seeds.sh OUT TARGETS, where
# TARGETS holds the built targets and OUT gets a folder for each reader. Seeds come from the
# library's own writer for the format (the target's --write-seeds), from ImageMagick where it
# writes a format or a layout the library does not, from fuzz/seeds.py for formats nothing here
# writes, and from fuzz/seeds/READER, kept in the repository where none of these can make them.
set -euo pipefail
out=$1
targets=$2
here=$(dirname "$0")
# ImageMagick's own program, not whatever `convert` is first on the PATH.
im=/usr/bin/convert-im6.q16
mkdir -p "$out"
for reader in $(cat "$targets/readers.txt"); do
    mkdir -p "$out/$reader"
    "$targets/${reader}_fuzz" --write-seeds="$out/$reader" >/dev/null
done
if [ -x "$im" ]; then
    make() { # READER NAME ARGS... FORMAT : one picture from ImageMagick in that format
        local reader=$1 name=$2 format=${*: -1}
        shift 2
        "$im" "${@:1:$#-1}" "$format:$out/$reader/$name" || echo "seeds: ImageMagick made no $name"
    }
    rgb=(-size 7x5 gradient:red-blue)
    rgba=(-size 6x4 gradient:none-green)
    gray=(-size 5x3 gradient: -colorspace gray)
    make bmp rle8.bmp "${rgb[@]}" -type palette -compress RLE bmp3
    make bmp v3-palette.bmp "${rgb[@]}" -type palette bmp3
    make bmp v4-alpha.bmp "${rgba[@]}" bmp
    make dds dxt1.dds "${rgb[@]}" -define dds:compression=dxt1 dds
    make dds dxt5.dds "${rgba[@]}" -define dds:compression=dxt5 dds
    make dds plain.dds "${rgba[@]}" -define dds:compression=none dds
    make gif gradient.gif "${rgb[@]}" gif
    make gif interlaced.gif "${rgb[@]}" -interlace GIF gif
    make gif transparent.gif "${rgba[@]}" gif
    make gif frames.gif "${rgb[@]}" "${gray[@]}" gif
    make hdr gradient.hdr "${rgb[@]}" hdr
    make ico icon.ico "${rgba[@]}" ico
    make ico palette.ico "${rgb[@]}" -type palette ico
    make ico cursor.cur "${rgba[@]}" cur
    make ico png-icon.ico -size 256x256 xc:red -define icon:auto-resize=256 ico
    make jpeg progressive.jpg "${rgb[@]}" -interlace JPEG jpeg
    make jpeg gray.jpg "${gray[@]}" jpeg
    make pcx rgb.pcx "${rgb[@]}" pcx
    make pcx palette.pcx "${rgb[@]}" -type palette pcx
    make pcx gray.pcx "${gray[@]}" pcx
    make dcx two.dcx "${rgb[@]}" "${gray[@]}" dcx
    make dcx one.dcx "${rgb[@]}" -type palette dcx
    make pnm ascii.ppm "${rgb[@]}" -compress none ppm
    make pnm ascii.pgm "${gray[@]}" -compress none pgm
    make pnm ascii.pbm "${gray[@]}" -compress none pbm
    make pnm binary.pbm "${gray[@]}" pbm
    make pnm deep.pgm "${gray[@]}" -depth 16 pgm
    make psd rle.psd "${rgba[@]}" -compress RLE psd
    make psd gray.psd "${gray[@]}" psd
    make sgi rle.sgi "${rgb[@]}" -compress RLE sgi
    make sgi gray.sgi "${gray[@]}" sgi
    make sun rgb.ras "${rgb[@]}" sun
    make sun rle.ras "${rgb[@]}" -compress RLE sun
    make sun palette.ras "${rgb[@]}" -type palette sun
    make sun bits.ras "${gray[@]}" -monochrome sun
    make tga rle.tga "${rgba[@]}" -compress RLE tga
    make tga palette.tga "${rgb[@]}" -type palette tga
    make tga gray.tga "${gray[@]}" tga
    make xpm gradient.xpm "${rgb[@]}" xpm
    make xpm transparent.xpm "${rgba[@]}" xpm
    make dpx rgb.dpx "${rgb[@]}" dpx
    make fits gray.fits "${gray[@]}" fits
    make fits rgb.fits "${rgb[@]}" fits
    make png palette.png "${rgb[@]}" -type palette png8
    make png deep.png "${rgba[@]}" -depth 16 png64
    make png interlaced.png "${rgb[@]}" -interlace PNG png
    make wbmp bits.wbmp "${gray[@]}" wbmp
else
    echo "seeds: no ImageMagick at $im; only the library's own seeds and the kept ones"
fi
python3 "$here/seeds.py" "$out"
if [ -d "$here/seeds" ]; then
    for folder in "$here"/seeds/*/; do
        mkdir -p "$out/$(basename "$folder")"
        cp "$folder"* "$out/$(basename "$folder")/"
    done
fi
for folder in "$out"/*/; do
    echo "seeds: $(basename "$folder"): $(find "$folder" -type f | wc -l)"
done
