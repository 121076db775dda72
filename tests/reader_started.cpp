// reader-crc with "Начать обмен" pressed as soon as its window shows, so that process tests can
// end a run in the middle of an exchange.
#include "program.h"
#include "tform1.h"

#include <QPushButton>

int main(int argc, char** argv) {
    return RunReaderProgram(argc, argv, ProtocolVariant::Crc, "GRALIX77_READER_423",
                            [](TForm1& form) { form.Button1->click(); });
}
