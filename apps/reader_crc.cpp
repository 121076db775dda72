// reader-crc: the reader for instruments that check their answers with a CRC-16.
#include "program.h"

int main(int argc, char** argv) {
    return RunReaderProgram(argc, argv, ProtocolVariant::Crc, "GRALIX77_READER_423");
}
