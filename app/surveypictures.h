// kestrum-survey's pictures, drawn without a display: each of the top baselines as the view
// shows it, through the view's own per-frame drawing, and an overview of the observation.
#pragma once

#include "model/observation.h"
#include "model/survey.h"
#include "params/krellparams.h"

#include <string>

// The name of the picture of the baseline ranked `rank` (from 1): "NNN-SOURCE-A1-A2.png", with
// every character of the source other than letters, digits, '+', '-', '.' and '_' made '_'.
std::string baselinePictureName(int rank, const BaselineSurvey& baseline);

// Writes into the folder params.png (made when missing) the picture of each of the top
// params.top baselines of `survey` (every one for top=0), drawn as params' picture keywords
// say, and overview.png: the score of every baseline in an antenna x antenna matrix, with the
// outlier fraction per channel and per integration beside it. Uses the view's state, which it
// leaves changed. False after a message naming what could not be written.
bool writeSurveyPictures(Observation& obs, const Survey& survey, const KrellParams& params);
