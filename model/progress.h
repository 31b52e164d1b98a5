// Console progress bar drawn on standard output while a data set is read.
#pragma once

class Progress {
public:
    // A bar of `width` characters for values from 0 to `total`.
    Progress(double total, int width);
    // Ends the bar's line with "Done!".
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Redraws the bar when `value` lies in a different step (1/width of total) than the
    // previous value. The first call always draws when width > 0 and total > 0.
    void update(double value);

    int width;
    double total;
    double last;  // value passed to the previous update
};
