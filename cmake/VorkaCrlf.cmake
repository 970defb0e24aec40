# cmake -DIN=<file> -DOUT=<file> -P VorkaCrlf.cmake
# Copies a text file with CR LF line ends (windmc ends message texts the way the file ends its lines).
file(READ ${IN} text)
string(REGEX REPLACE "\r*\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
