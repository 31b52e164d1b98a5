// State of the uv data access layer shared by its record delivery (uvdat.cpp) and its
// polarisation handling (uvpol.cpp), and the polarisation routines that uvdat.cpp calls.
// Internal to the task layer: callers use uvdat.h.
#pragma once

#include <string>
#include <vector>

namespace kestrum::uvdat {

constexpr int kMaxChan = 32772;  // channels of one record
constexpr int kMaxPols = 4;  // polarisations that can be requested together

// The open data set and the record processing in force for it.
struct Access {
    int tno = 0;  // open handle, 0 when none
    int npream = 4;  // doubles per preamble: u, v, [w,] time, baseline
    bool calib = false;  // gains or bandpasses are applied
    bool gsv = false;  // "senmodel" is "GSV": variances scale with the gains
    bool dowide = false;  // the data line is "wide"
    float gainvar = 1.0f;  // squared gain amplitude of the last record read directly
};

// The products of one record group as the polarisation algebra sees them: the consecutive
// records of one baseline and time in a uv data set, or one row of a UVH5 file.
struct Group {
    int nslots = 0;
    int code[4] = {};  // polarisation code of each slot; -9 when it names no product
    const float* data[4] = {};  // complex channels of each slot, as (re, im) pairs
    const int* flags[4] = {};  // flags of each slot, nonzero good
};

// Cosine and sine of twice the feed angle of a group. Unless `known`, get() reads "chi" of
// the open uv data set on first use; data without a feed angle sets `known` and keeps 0.
struct Rotation {
    bool known = false;
    float c = 1, s = 0;
    void get();
};

// One term of a formed polarisation: a complex coefficient on the product of a group slot.
struct Term {
    int code;  // polarisation code of the product
    int slot;  // 0-based slot of the group holding it
    float re, im;
};

// How one requested polarisation is formed from the current group.
struct Formed {
    int nterms = 0;
    Term terms[4];
    bool average = false;  // "ii" from several parallel hands: mean of the good ones
    float varfac = 1.0f;  // variance factor of the formed value
};

struct Pol {
    int reqnpol = 0;  // polarisations requested ("stokes" or uvdatset)
    int reqpols[kMaxPols] = {};
    int npol = 0;  // polarisations delivered for the open data set
    int pols[kMaxPols] = {};
    int nfp = 0;  // products per record group when known, else 0
    bool selpol = false;  // the selection names polarisations
    bool selpol1 = false;  // ... and accepts exactly one code
    bool doleak = false;  // leakage correction requested
    bool leak = false;  // leakage correction in force
    bool dopol = false;  // records are formed from groups
    bool copy = false;  // leakage correction of the products as they are
    int ipol = 0;  // 1-based position of the record last delivered, 0 none

    int nchan = 0;  // channels of the current group, 0 at the end
    double preamble[5] = {};  // preamble of the group's first record
    Group group;  // the current group, over data and flags
    float slotgain[4] = {};
    std::vector<float> data[4];  // complex channels of each slot
    std::vector<int> flags[4];
    Formed formed[kMaxPols];

    int nleak = 0;  // antennas of the leakage table
    std::vector<float> leakage;  // per antenna: D(1), D(2) as (re, im) pairs
};

extern Access current;
extern Pol pol;

// Per data set polarisation set-up, called by uvdatopn with the data set's name.
void polOpen(const std::string& name);

// The algebra shared by uv data sets and UVH5 files.
// The code of a requested polarisation: "ii", "qq", "uu" as 0, 5, 6, the others as polsp2c
// gives them (an unknown name is fatal).
int requestCode(const std::string& name);
// Polarisation code as reported to callers: "ii", "qq", "uu" as I, Q, U.
int reportedCode(int code);
// Whether product `code` is delivered as it is for a request met by selection (a raw
// product, or "ii": I and the parallel hands, each a record of its own).
bool selectsProduct(int request, int code);
// Chooses the terms of request `code` from the products of group `g`; none when it cannot
// be formed from them.
void chooseTerms(const Group& g, int code, Formed& f, Rotation& rot);
// The formed record of `f` over `nchan` channels of group `g`: complex `data` and `flags`
// (1 good); a channel is good only where every product used is good.
void formRecord(const Group& g, const Formed& f, int nchan, float* data, int* flags);

}  // namespace kestrum::uvdat

extern "C" {
// Reads "stokes": at most `maxpol` codes into `pols`, the count into *npol.
void uvpolinp(int maxpol, int* npol, int* pols);
// Reads the next record group and chooses the terms of every request; 0 when the group
// cannot serve the request, 1 for a usable group or the end of the data (0 channels).
int uvpolini(void);
// The next formed record, with the arguments of uvdatrd.
void uvpolget(double* preamble, float* data, int* flags, int n, int* nread);
// The record's feed angle "chi" (radians, 0 when absent) and the cosine and sine of twice it.
void uvpolchi(float* chi, float* cos2chi, float* sin2chi);
// Reads the "leakage" item of the open data set.
void uvlkini(void);
// Rewrites the `*nterms` terms (codes, complex coefficients as pairs) of one request into the
// four leakage-corrected terms for the antennas of `baseline`; *nterms 0 when the table has no
// entry for either antenna. `codes` and `coefs` hold room for 4 terms.
void uvlkcorr(double baseline, int* nterms, int* codes, float* coefs);
}
