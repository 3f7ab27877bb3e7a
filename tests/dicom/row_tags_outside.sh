#!/bin/sh
# Every attribute that is a row of the NM table is named by the table
# outside dicom/: no DCMTK tag constant of a row appears in the product's
# other sources (the pixel data and the transfer syntax, which DCMTK's own
# calls name, excepted). Tests build their objects with DCMTK's constants
# on purpose, independent of the table, and are not looked at.
# Usage: row_tags_outside.sh SOURCE_DIR
set -eu
root="$1"
table="$root/dicom/nm_attributes.cpp"
rows=$(grep -o 'DCM_[A-Za-z0-9]*' "$table" | sort -u | grep -v -x -e DCM_PixelData -e DCM_TransferSyntaxUID)
[ -n "$rows" ] || { echo "no rows found in $table" >&2; exit 1; }
found=0
for tag in $rows; do
  if grep -rnw --include='*.cpp' --include='*.h' "$tag" "$root/app" "$root/reader" "$root/writer" "$root/study" \
       "$root/tools"; then
    found=1
  fi
done
if [ "$found" -ne 0 ]; then
  echo "DCMTK tag constants of NM table rows outside dicom/ (above): name them by Nm through the table" >&2
  exit 1
fi
echo "no tag constant of a row outside dicom/ ($(echo "$rows" | wc -l) rows)"
