// kestrum-survey: ranks every baseline and antenna of a data set and lists its bad channels and
// integrations, without a window.
#include "app/surveyprogram.h"

int main(int argc, char** argv)
{
    SurveyProgram program;
    return program.run(argc, argv);
}
