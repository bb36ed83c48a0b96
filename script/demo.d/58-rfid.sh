# RFID encoding of the printed labels: the printer simulator's RFID command client drives the
# encoder (tagsmith) on the RFID port while labels print, with the reader simulator (readersim,
# two modules) in place of the reader modules. This step starts both and checks the tags written
# for the jobs printed above; until those programs are built it only says so.
once_only || return 0
if [ -x "$BIN/tagsmith" ] && [ -x "$BIN/readersim" ]; then
  road rfid later "tagsmith and readersim are built, but this step does not drive them yet"
else
  road rfid later "tagsmith and readersim are not built yet"
fi
