# A reader check: firmware, both slots, a card in each, the link under load.
# readerscript 1 115200 examples/reader_check.rsc
version
stat =01 01                       # a card in both slots

insert 0
com 0 00 A4 04 00 02 3F 00 =9000  # SELECT the master file
req 0 00 C0 00 00 1C =* 90 00     # GET RESPONSE, 28 bytes
off 0                             # powered down, the card taken out

insert 1
req 1 00C0000004 =00 01 02 03 90 00
req 1 00B0000000 =6D??            # an instruction the card does not know
off 1

echo 50 64                        # 50 random frames, each must come back intact
