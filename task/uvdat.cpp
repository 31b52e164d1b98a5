// The uv data access layer: the input list and processing switches taken from a task's
// keywords, the opening of each input data set with that processing configured, and the
// delivery of its records, directly from the reader or formed by the polarisation handling.
#include "task/uvdat.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/key.h"
#include "task/keyline.h"
#include "task/select.h"
#include "task/uvdatint.h"
#include "task/uvgn.h"

namespace kestrum::uvdat {
Access current;
}

using namespace kestrum::uvdat;

namespace {

constexpr int kMaxIn = 400;  // input data sets
constexpr int kNameChars = 20000;  // characters of all input names together
constexpr int kNameLen = 128;  // characters of one input name
constexpr int kMaxSels = 512;  // reals of the selection array

std::string trimmed(const char* text)
{
    std::string s = text ? text : "";
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Switches and parameters set by uvdatinp, and the position in the input list.
struct Inputs {
    bool doplanet = false, dowave = false, doref = false, dodata = false, docal = false;
    bool dopass = false, dosels = false, doauto = false, docross = false, dow = false;

    std::vector<std::string> names;
    int nameChars = 0;
    std::vector<bool> announced;
    int pnt = 0;  // number of the data set last opened, 0 before the first

    std::string ltype;  // data line type, blank until set
    int nchan = 0;
    float lstart = 1, lwidth = 1, lstep = 1, lflag = 1;
    std::string rtype;  // reference line type
    float rstart = 0, rwidth = 0;

    float plmaj = 0, plmin = 0, plangle = 0;
    bool plinit = false;

    float sels[kMaxSels] = {};
    double preamble[5] = {};  // preamble of the last record read directly
};

Inputs inputs;

void announce(const char* what, const std::string& name)
{
    std::printf("Applying %s corrections to %s\n", what, name.c_str());
    std::fflush(stdout);
}

// The factor applied to the reader's variance of the record last delivered.
float varianceFactor()
{
    if (pol.dopol && pol.ipol >= 1)
        return pol.formed[pol.ipol - 1].varfac;
    return current.gsv ? current.gainvar : 1.0f;
}

void needOpen(const char* routine)
{
    if (!current.tno)
        bug_c('f', (std::string("No uvdata file open, in ") + routine).c_str());
}

}  // namespace

extern "C" void uvdatinp(const char* key, const char* flags)
{
    const std::string f = flags ? flags : "";
    auto on = [&](char c) { return f.find(c) != std::string::npos; };
    inputs = Inputs();
    inputs.doplanet = on('p');
    inputs.dowave = on('w');
    inputs.doref = on('r');
    inputs.dodata = on('l');
    inputs.docal = on('c');
    inputs.dopass = on('f');
    inputs.dosels = on('d');
    inputs.doauto = on('a');
    inputs.docross = on('x');
    inputs.dow = on('3');
    if (inputs.doauto && inputs.docross)
        bug_c('f', "Data cannot be both auto and cross correlation");
    current = Access();
    current.npream = inputs.dow ? 5 : 4;
    pol = Pol();
    pol.doleak = on('e');

    char name[kNameLen + 1];
    for (;;) {
        keyf(key, name, sizeof name, "");
        std::string n = trimmed(name);
        if (n.empty())
            break;
        if (static_cast<int>(inputs.names.size()) + 1 > kMaxIn)
            bug_c('f', "Too many input files");
        inputs.nameChars += static_cast<int>(n.size());
        if (inputs.nameChars > kNameChars)
            bug_c('f', "Input name buffer overflow");
        inputs.names.push_back(n);
    }
    if (inputs.names.empty())
        bug_c('f', "No input files were given.");
    if (inputs.names.size() > 1 && on('b'))
        bug_c('f', "Only one input vis file is allowed");
    inputs.announced.assign(inputs.names.size(), false);

    if (inputs.dodata) {
        char ltype[33];
        keygline(ltype, sizeof ltype, &inputs.nchan, &inputs.lstart, &inputs.lwidth, &inputs.lstep, &inputs.lflag);
        inputs.ltype = trimmed(ltype);
        if (inputs.ltype.empty() && on('1'))
            inputs.nchan = 1;
    }
    if (inputs.doref) {
        char rtype[33];
        keyrline(rtype, sizeof rtype, &inputs.rstart, &inputs.rwidth);
        inputs.rtype = trimmed(rtype);
        inputs.doref = !inputs.rtype.empty();
    }
    if (on('s'))
        uvpolinp(kMaxPols, &pol.reqnpol, pol.reqpols);
    if (inputs.dosels) {
        selinput("select", inputs.sels, kMaxSels);
        pol.selpol = selprobe(inputs.sels, "polarization?", 0.0);
        if (pol.selpol && (on('s') || pol.doleak)) {
            int accepted = 0;
            for (int code = -8; code <= 6 && accepted < 2; code++)
                if (selprobe(inputs.sels, "polarization", code))
                    accepted++;
            pol.selpol1 = accepted == 1;
        }
    }
}

extern "C" int uvdatopn(int* tno)
{
    if (current.tno)
        bug_c('f', "UV data file already open, in UVDatOpn");
    const int nin = static_cast<int>(inputs.names.size());
    if (inputs.pnt >= nin) {
        inputs.pnt = nin + 1;
        *tno = 0;
        return 0;
    }
    inputs.pnt++;
    const std::string& name = inputs.names[inputs.pnt - 1];
    int t = 0;
    uvopen_c(&t, name.c_str(), "old");
    current.tno = t;
    current.calib = false;
    current.gsv = false;
    current.gainvar = 1.0f;

    if (inputs.dosels)
        selapply(t, inputs.sels, 1);
    if (inputs.dow)
        uvset_c(t, "preamble", "uvw/time/baseline", 0, 0, 0, 0);
    if (inputs.ltype.empty()) {
        char type = ' ';
        int length = 0, updated = 0;
        uvprobvr_c(t, "corr", &type, &length, &updated);
        inputs.ltype = (type == 'j' || type == 'r' || type == 'c') ? "channel" : "wide";
    }
    current.dowide = inputs.ltype == "wide";
    if (inputs.dodata) {
        uvset_c(t, "data", inputs.ltype.c_str(), inputs.nchan, inputs.lstart, inputs.lwidth, inputs.lstep);
        uvset_c(t, "gflag", "", static_cast<int>(std::lround(inputs.lflag)), 0, 0, 0);
    }
    if (inputs.doref)
        uvset_c(t, "reference", inputs.rtype.c_str(), 1, inputs.rstart, inputs.rwidth, inputs.rwidth);
    if (inputs.dowave)
        uvset_c(t, "coord", "wavelength", 0, 0, 0, 0);
    if (inputs.doauto || inputs.docross) {
        char obstype[32];
        rdhda_c(t, "obstype", obstype, "crosscorrelation", sizeof obstype);
        if (inputs.doauto && std::strncmp(obstype, "auto", 4) != 0) {
            uvselect_c(t, "and", 0, 0, 1);
            uvselect_c(t, "auto", 0, 0, 1);
        }
        if (inputs.docross && std::strncmp(obstype, "cross", 5) != 0) {
            uvselect_c(t, "and", 0, 0, 1);
            uvselect_c(t, "auto", 0, 0, 0);
        }
    }
    if (inputs.doplanet) {
        bool present = true;
        for (const char* var : {"plmaj", "plmin", "plangle"}) {
            char type = ' ';
            int length = 0, updated = 0;
            uvprobvr_c(t, var, &type, &length, &updated);
            present = present && type == 'r';
        }
        if (inputs.plinit && !present)
            bug_c('w', ("Planet parameters missing from " + name).c_str());
        else if (inputs.plinit)
            uvset_c(t, "planet", "", 0, inputs.plmaj, inputs.plmin, inputs.plangle);
        else if (!present)
            inputs.doplanet = false;
    }

    bool dogains = false, dopass = false;
    if (inputs.docal) {
        dogains = hdprsnt_c(t, "gains");
        char senmodel[17];
        rdhda_c(t, "senmodel", senmodel, "", sizeof senmodel);
        current.gsv = trimmed(senmodel) == "GSV";
    }
    if (inputs.dopass) {
        dopass = hdprsnt_c(t, "bandpass") || hdprsnt_c(t, "cgains") || hdprsnt_c(t, "wgains");
        if (dopass && (inputs.ltype == "velocity" || inputs.ltype == "felocity")) {
            bug_c('w', ("Cannot apply bandpass correction, for velocity linetype, to " + name).c_str());
            dopass = false;
        }
    }
    if (dogains || dopass)
        uvgnini(t, dogains, dopass);

    polOpen(name);

    if (!inputs.announced[inputs.pnt - 1]) {
        if (dopass)
            announce("bandpass", name);
        if (dogains)
            announce("gain", name);
        if (pol.leak)
            announce("polarization leakage", name);
        inputs.announced[inputs.pnt - 1] = dopass || dogains || pol.leak;
    }
    current.calib = dogains || dopass;
    *tno = t;
    return 1;
}

extern "C" void uvdatrd(double* preamble, float* data, int* flags, int n, int* nread)
{
    needOpen("uvDatRd");
    if (pol.dopol) {
        uvpolget(preamble, data, flags, n, nread);
    } else {
        uvread_c(current.tno, preamble, data, flags, n, nread);
        std::memcpy(inputs.preamble, preamble, sizeof(double) * current.npream);
        current.gainvar = 1.0f;
        if (current.calib && *nread > 0) {
            float grms = 1.0f;
            uvgnfac(preamble[current.npream - 2], preamble[current.npream - 1], 0, current.dowide, data, flags, *nread,
                    &grms);
            current.gainvar = grms * grms;
        }
    }
    if (inputs.nchan * inputs.lwidth == 0 && (inputs.ltype == "velocity" || inputs.ltype == "felocity")) {
        double line[6] = {};
        uvinfo_c(current.tno, "line", line);
        inputs.ltype = "velocity";
        inputs.nchan = static_cast<int>(std::lround(line[1]));
        inputs.lstart = static_cast<float>(line[2]);
        inputs.lwidth = static_cast<float>(line[3]);
        inputs.lstep = static_cast<float>(line[4]);
    }
    if (inputs.doplanet && !inputs.plinit) {
        float def = 0;
        uvrdvr_c(current.tno, IO_REAL, "plmaj", &inputs.plmaj, &def, 1);
        uvrdvr_c(current.tno, IO_REAL, "plmin", &inputs.plmin, &def, 1);
        uvrdvr_c(current.tno, IO_REAL, "plangle", &inputs.plangle, &def, 1);
        inputs.doplanet = inputs.plmaj > 0 && inputs.plmin > 0;
        if (inputs.doplanet) {
            std::printf("Referencing planet position angle to %7.1f degrees\n", inputs.plangle);
            std::fflush(stdout);
        }
        inputs.plinit = true;
    }
}

extern "C" void uvdatwrd(float* data, int* flags, int n, int* nread)
{
    needOpen("uvDatWRd");
    if (pol.dopol)
        bug_c('f', "Polarization processing is not supported for wide channels, in uvDatWRd");
    uvwread_c(current.tno, data, flags, n, nread);
    if (current.calib && *nread > 0) {
        float grms = 1.0f;
        uvgnfac(inputs.preamble[current.npream - 2], inputs.preamble[current.npream - 1], 0, 1, data, flags, *nread,
                &grms);
    }
}

extern "C" void uvdatgti(const char* object, int* value)
{
    const std::string obj = trimmed(object);
    if (obj == "pol") {
        if (!current.tno)
            bug_c('f', "No file open, in UvDatGt(pol)");
        if (pol.npol > 0) {
            const int at = pol.dopol && pol.ipol >= 1 ? pol.ipol - 1 : 0;
            *value = reportedCode(pol.pols[at]);
        } else {
            const int def = 1;
            uvrdvr_c(current.tno, IO_INT, "pol", value, &def, 1);
        }
    } else if (obj == "npol") {
        if (pol.npol > 0) {
            *value = pol.npol;
        } else if (!current.tno) {
            *value = pol.reqnpol;
        } else if (pol.nfp > 0) {
            *value = pol.nfp;
        } else {
            const int def = 1;
            uvrdvr_c(current.tno, IO_INT, "npol", value, &def, 1);
            if (pol.selpol && *value > 1)
                *value = 0;
        }
    } else if (obj == "visno") {
        *value = 0;
        if (current.tno) {
            double visno = 0;
            uvinfo_c(current.tno, "visno", &visno);
            *value = static_cast<int>(std::lround(visno));
            if (pol.dopol)
                *value += pol.ipol - pol.npol;
        }
    } else if (obj == "pols") {
        const int n = current.tno ? pol.npol : pol.reqnpol;
        const int* codes = current.tno ? pol.pols : pol.reqpols;
        if (n == 0)
            value[0] = 0;
        for (int i = 0; i < n; i++)
            value[i] = reportedCode(codes[i]);
    } else if (obj == "nchan") {
        *value = inputs.nchan;
    } else if (obj == "number") {
        *value = inputs.pnt;
    } else if (obj == "nfiles") {
        *value = static_cast<int>(inputs.names.size());
    } else {
        bug_c('f', "Unrecognised object in uvDatGti");
    }
}

extern "C" void uvdatgtr(const char* object, float* value)
{
    const std::string obj = trimmed(object);
    if (obj == "variance") {
        needOpen("uvDatGtr");
        double variance = 0;
        uvinfo_c(current.tno, "variance", &variance);
        *value = static_cast<float>(variance) * varianceFactor();
    } else if (obj == "jyperk") {
        needOpen("uvDatGtr");
        float jyperk = 0, def = 0;
        uvrdvr_c(current.tno, IO_REAL, "jyperk", &jyperk, &def, 1);
        float factor = varianceFactor();
        if (pol.dopol && pol.ipol >= 1 && pol.pols[pol.ipol - 1] > 0 && pol.formed[pol.ipol - 1].nterms > 1)
            factor *= 2;
        *value = jyperk * std::sqrt(factor);
    } else {
        bug_c('f', "Unrecognised object in uvDatGtr");
    }
}

extern "C" void uvdatgta(const char* object, char* value, int valuelen)
{
    const std::string obj = trimmed(object);
    std::string text;
    if (obj == "name")
        text = current.tno ? inputs.names[inputs.pnt - 1] : "";
    else if (obj == "ltype")
        text = inputs.ltype;
    else
        bug_c('f', "Unrecognised object in uvDatGta");
    if (!value || valuelen < 1)
        return;
    const size_t n = std::min(text.size(), static_cast<size_t>(valuelen - 1));
    std::memcpy(value, text.data(), n);
    value[n] = '\0';
}

extern "C" void uvdatset(const char* object, int value)
{
    const std::string obj = trimmed(object);
    if (obj == "stokes") {
        if (value < -8 || value > 6)
            bug_c('f', "Illegal polarization code");
        pol.reqnpol = 1;
        pol.reqpols[0] = value;
    } else if (obj == "disable") {
        if (value) {
            pol.reqnpol = 0;
            pol.doleak = false;
            inputs.docal = false;
            inputs.dopass = false;
        }
    } else {
        bug_c('f', "Unrecognised object in uvDatSet");
    }
}

extern "C" int uvdatprb(const char* object, double value)
{
    return selprobe(inputs.sels, object, value);
}

extern "C" void uvdatrew(void)
{
    if (current.tno)
        bug_c('f', "Uv files still open, when uvDatRew called");
    inputs.pnt = 0;
}

extern "C" void uvdatcls(void)
{
    if (!current.tno)
        bug_c('f', "No uvdata file open, in uvDatCls");
    if (current.calib)
        uvgnfin();
    uvclose_c(current.tno);
    current.tno = 0;
    current.calib = false;
    pol.nfp = 0;
    pol.dopol = false;
    pol.ipol = 0;
}
