# A reader session through a port on a server: readersim behind ser2net.
version
stat =01 01
insert 0
com 0 00a40400023f00 =9000
req 0 00 C0 00 00 04 =00 01 02 03 90 00
echo 40 1025
off 0 5000
insert 0
