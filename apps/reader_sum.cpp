// reader-sum: the reader for instruments that check their answers with an 8-bit sum.
#include "program.h"

int main(int argc, char** argv) {
    return RunReaderProgram(argc, argv, ProtocolVariant::Sum, "GRALIX77_READER");
}
