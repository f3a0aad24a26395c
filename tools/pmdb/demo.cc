// demo.cc - `pmdb demo`: a sample database that shows the library at work.
//
// Three logical files with typed keys, generated from a fixed seed so that
// every run makes the same data:
//   1 customers  number (long, unique), name (char, dup), city (char, dup)
//   2 products   code (char, unique), price (float, dup)
//   3 orders     number (ulong, unique, from the application counter),
//                customer (long, dup), date (ulong YYYYMMDD, dup),
//                amount (double, dup), quantity (short, dup)
// Records are fixed-width text fields, blank-padded, as such applications
// store them (and as the record packing is made for). Every phase checks
// what it reads against an in-memory model and the demo fails on the
// first difference; then it prints a report with the date and numeric
// masks, the timings, and `info` and `check` of the file it made.
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fss/fsdata.h"
#include "fss/xlate.h"
#include "keywalk.h"
#include "pmdbtool.h"
#include "schema.h"

namespace pmdbtool {

namespace {

const char *const DEMOSCHEMA =
    "1 customers 56\n"
    "1.0 long unique\n"
    "1.1 char dup\n"
    "1.2 char dup\n"
    "2 products 48\n"
    "2.0 char unique\n"
    "2.1 float dup\n"
    "3 orders 48\n"
    "3.0 ulong unique\n"
    "3.1 long dup\n"
    "3.2 ulong dup\n"
    "3.3 double dup\n"
    "3.4 short dup\n";

const uint8_t CUSTNUM = 0x10, CUSTNAME = 0x11, CUSTCITY = 0x12;
const uint8_t PRODCODE = 0x20, PRODPRICE = 0x21;
const uint8_t ORDNUM = 0x30, ORDCUST = 0x31, ORDDATE = 0x32, ORDAMOUNT = 0x33, ORDQTY = 0x34;

const char *const firstnames[] = {"Anna", "Bruno", "Clara", "David", "Emma", "Felix", "Greta", "Hugo",
                                  "Ida", "Jonas", "Karin", "Lukas", "Maria", "Nils", "Olga", "Paul",
                                  "Rita", "Simon", "Tina", "Urs", "Vera", "Walter", "Xenia", "Yves"};
const char *const lastnames[] = {"Meier", "Keller", "Weber", "Huber", "Schmid", "Frei", "Baumann",
                                 "Brunner", "Gerber", "Widmer", "Zimmermann", "Moser", "Graf", "Wyss",
                                 "Roth", "Suter", "Bachmann", "Lehmann", "Kaufmann", "Fischer"};
const char *const cities[] = {"Basel", "Bern", "Biel", "Chur", "Genf", "Luzern", "Lugano", "Olten",
                              "Sion", "Thun", "Winterthur", "Zug", "Zurich", "Aarau", "Baden"};
const char *const goods[] = {"bolt", "nut", "washer", "hinge", "bracket", "spring", "valve", "gasket",
                             "pulley", "bearing", "clamp", "rivet", "flange", "coupling", "spindle"};

struct Customer {
    uint32_t rid;
    int32_t number;
    std::string name, city;
    uint32_t since;
    bool grown = false;
};

struct Product {
    uint32_t rid;
    std::string code, name;
    float price;
};

struct Order {
    uint32_t rid;
    uint32_t number;
    int32_t customer;
    std::string product;
    uint32_t date;
    int16_t qty;
    double amount;
    bool deleted = false;
};

// Day index 0.. from 2025-01-01 to YYYYMMDD.
uint32_t dateof(int day) {
    static const int mdays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int y = 2025;
    for (;;) {
        int ylen = (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
        if (day < ylen) break;
        day -= ylen;
        y++;
    }
    int m = 0;
    for (;; m++) {
        int ml = mdays[m] + (m == 1 && y % 4 == 0 ? 1 : 0);
        if (day < ml) break;
        day -= ml;
    }
    return (uint32_t)(y * 10000 + (m + 1) * 100 + day + 1);
}

std::string pad(const std::string &s, size_t w) {
    std::string r = s.substr(0, w);
    r.resize(w, ' ');
    return r;
}

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string custrecord(const Customer &c, bool grown) {
    std::string r = fmt("%08d", c.number) + pad(c.name, 24) + pad(c.city, 16) + fmt("%08u", c.since);
    if (grown)
        r += "notes: preferred customer since " + fmt("%u", c.since / 10000) +
             "; invoices by post to the " + c.city + " office; call before delivery " + fmt("(%06d)", c.number * 7);
    return r;
}

std::string prodrecord(const Product &p) {
    return pad(p.code, 8) + pad(p.name, 24) + fmt("%10.2f", (double)p.price) + "      ";
}

std::string ordrecord(const Order &o) {
    return fmt("%08u%08d", o.number, o.customer) + pad(o.product, 8) + fmt("%08u%04d%12.2f", o.date, o.qty, o.amount);
}

double amountof(const std::string &rec) { return rec.size() >= 48 ? atof(rec.substr(36, 12).c_str()) : -1; }

template <typename T>
std::string bytesof(const T &v) {
    return std::string((const char *)&v, sizeof v);
}

// Formats a number text with a numeric mask.
std::string masked(double v, const char *mask) {
    char buf[96];
    snprintf(buf, sizeof buf, "%.2f", v);
    domask(buf, mask);
    return buf;
}

std::string maskeddate(uint32_t ymd, const char *mask) {
    struct date d;
    d.da_year = (int32_t)(ymd / 10000);
    d.da_mon = (signed char)(ymd / 100 % 100);
    d.da_day = (signed char)(ymd % 100);
    char buf[64];
    dodatemask(buf, &d, mask);
    return buf;
}

class Demo {
public:
    Demo(Ctx &c, const std::string &path, int scale) : c_(c), path_(path), scale_(scale) {}
    int run();

private:
    bool fail(const std::string &what) {
        liberror(c_, path_, what);
        return false;
    }
    bool addkey(uint8_t fid, uint32_t rid, const std::string &v) {
        clearliberrors();
        if (fsaddkey(db_.inst(), db_.fs(), fid, rid, (short)v.size(), v.data())) return true;
        return fail(fmt("cannot add a key of %d.%d", fid >> 4, fid & 15));
    }
    bool delkey(uint8_t fid, uint32_t rid, const std::string &v) {
        clearliberrors();
        if (fsdeletekey(db_.inst(), db_.fs(), fid, rid, (short)v.size(), v.data())) return true;
        return fail(fmt("cannot delete a key of %d.%d", fid >> 4, fid & 15));
    }
    bool read(uint32_t rid, std::string *rec) {
        clearliberrors();
        short len = fsread(db_.inst(), db_.fs(), rid, buf_.data());
        if (len == 0 && liberrorsince()) return fail(fmt("cannot read record %08x", rid));
        rec->assign((const char *)buf_.data(), (size_t)len);
        return true;
    }
    bool commit() {
        clearliberrors();
        if (!fsunlock(db_.inst(), db_.fs())) return fail("cannot commit");
        fslock(db_.inst(), db_.fs(), nullptr);
        return true;
    }
    void phase(const char *name, double t0, const std::string &what) {
        double dt = nowseconds() - t0;
        timings_.emplace_back(name, dt);
        fprintf(c_.out, "  %-10s %7.3f s  %s\n", name, dt, what.c_str());
        fflush(c_.out);
    }
    bool load();
    bool lookups();
    bool walks();
    bool rewrites();
    bool deletions();
    bool report();

    Ctx &c_;
    std::string path_;
    int scale_;
    Db db_;
    std::mt19937 rng_{20261208};
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
    std::vector<Customer> custs_;
    std::vector<Product> prods_;
    std::vector<Order> orders_;
    std::vector<std::pair<const char *, double>> timings_;
    uint64_t keys_ = 0;
    uint32_t moved_ = 0;
};

bool Demo::load() {
    double t0 = nowseconds();
    size_t ncust = (size_t)40 * scale_, nprod = (size_t)4 * scale_ + 10, nord = (size_t)240 * scale_;
    Progress progress(c_, "demo: load", ncust + nprod + nord);
    uint64_t done = 0;
    fslock(db_.inst(), db_.fs(), nullptr);
    auto tick = [&]() {
        progress.step(++done);
        return done % 2000 != 0 || commit();
    };
    for (size_t i = 0; i < ncust; i++) {
        Customer c;
        c.number = (int32_t)(1000 + i * 3 + rng_() % 3);
        c.name = std::string(lastnames[rng_() % 20]) + ", " + firstnames[rng_() % 24];
        c.city = cities[rng_() % 15];
        c.since = dateof((int)(rng_() % 700));
        std::string rec = custrecord(c, false);
        clearliberrors();
        c.rid = fsadd(db_.inst(), db_.fs(), rec.data(), (short)rec.size(), CUSTNUM);
        if (c.rid == 0) return fail("cannot add a customer");
        if (!addkey(CUSTNUM, c.rid, bytesof(c.number)) || !addkey(CUSTNAME, c.rid, c.name) ||
            !addkey(CUSTCITY, c.rid, c.city))
            return false;
        keys_ += 3;
        custs_.push_back(c);
        if (!tick()) return false;
    }
    for (size_t i = 0; i < nprod; i++) {
        Product p;
        p.code = fmt("P%05zu", i + 1);
        p.name = std::string(goods[rng_() % 15]) + fmt(" %dmm", 2 + (int)(rng_() % 40));
        p.price = (float)(0.25 + (rng_() % 40000) / 100.0);
        std::string rec = prodrecord(p);
        clearliberrors();
        p.rid = fsadd(db_.inst(), db_.fs(), rec.data(), (short)rec.size(), PRODCODE);
        if (p.rid == 0) return fail("cannot add a product");
        if (!addkey(PRODCODE, p.rid, p.code) || !addkey(PRODPRICE, p.rid, bytesof(p.price))) return false;
        keys_ += 2;
        prods_.push_back(p);
        if (!tick()) return false;
    }
    for (size_t i = 0; i < nord; i++) {
        Order o;
        // Order numbers come from the database's own counter.
        clearliberrors();
        o.number = fsgetcannumber(db_.inst(), db_.fs(), 1);
        if (o.number == 0) return fail("cannot advance the counter");
        o.customer = custs_[rng_() % custs_.size()].number;
        const Product &p = prods_[rng_() % prods_.size()];
        o.product = p.code;
        o.date = dateof((int)(rng_() % 730));
        o.qty = (int16_t)(1 + rng_() % 60);
        o.amount = (double)(int64_t)((double)p.price * o.qty * 100 + 0.5) / 100;
        std::string rec = ordrecord(o);
        clearliberrors();
        o.rid = fsadd(db_.inst(), db_.fs(), rec.data(), (short)rec.size(), ORDNUM);
        if (o.rid == 0) return fail("cannot add an order");
        if (!addkey(ORDNUM, o.rid, bytesof(o.number)) || !addkey(ORDCUST, o.rid, bytesof(o.customer)) ||
            !addkey(ORDDATE, o.rid, bytesof(o.date)) || !addkey(ORDAMOUNT, o.rid, bytesof(o.amount)) ||
            !addkey(ORDQTY, o.rid, bytesof(o.qty)))
            return false;
        keys_ += 5;
        orders_.push_back(o);
        if (!tick()) return false;
    }
    clearliberrors();
    if (!fsstorebusinessdate(db_.inst(), db_.fs(), dateof(730))) return fail("cannot store the business date");
    if (!commit()) return false;
    progress.done();
    phase("load", t0, fmt("%zu records and %llu keys added, committed every 2000 records", custs_.size() + prods_.size() + orders_.size(), (unsigned long long)keys_));
    return true;
}

bool Demo::lookups() {
    double t0 = nowseconds();
    size_t n = std::min<size_t>(5000, custs_.size() * 2);
    std::string rec;
    for (size_t i = 0; i < n; i++) {
        const Customer &c = custs_[rng_() % custs_.size()];
        uint8_t key[256];
        memcpy(key, &c.number, 4);
        clearliberrors();
        uint32_t rid = fsfindkey(db_.inst(), db_.fs(), CUSTNUM, 4, key);
        if (rid != c.rid) return fail(fmt("customer %d found as %08x, expected %08x", c.number, rid, c.rid));
        if (!read(rid, &rec)) return false;
        if (rec.compare(0, 8, fmt("%08d", c.number)) != 0) return fail(fmt("customer %d reads wrong", c.number));
    }
    // Names are not unique: every customer of a name, by walking its
    // duplicates in rid order.
    std::map<std::string, size_t> byname;
    for (const Customer &c : custs_) byname[c.name]++;
    size_t names = 0, matched = 0;
    for (const auto &e : byname) {
        if (names++ % 7 != 0) continue;
        Found f;
        int r = keyfind(db_, CUSTNAME, e.first, &f);
        size_t count = 0;
        uint32_t last = 0;
        while (r == 1 && f.value == e.first) {
            if (f.rid <= last) return fail("duplicates of a name out of rid order");
            last = f.rid;
            count++;
            Found next;
            r = keynext(db_, CUSTNAME, f, &next);
            f = next;
        }
        if (r < 0 || count != e.second) return fail("the customers of " + e.first + " do not match");
        matched += count;
    }
    // A missing number is not found.
    int32_t missing = 999;
    uint8_t key[256];
    memcpy(key, &missing, 4);
    if (fsfindkey(db_.inst(), db_.fs(), CUSTNUM, 4, key) != 0) return fail("a missing customer was found");
    phase("lookups", t0, fmt("%zu customers by number, %zu by name (%zu names)", n, matched, (names + 6) / 7));
    return true;
}

bool Demo::walks() {
    double t0 = nowseconds();
    uint32_t from = 20250301, to = 20250630;
    size_t expect = 0;
    double expectsum = 0;
    for (const Order &o : orders_)
        if (!o.deleted && o.date >= from && o.date <= to) expect++, expectsum += o.amount;
    // Forward: from the first order of the first day.
    size_t fwd = 0;
    double fwdsum = 0;
    std::string rec;
    uint8_t key[256];
    memcpy(key, &from, 4);
    clearliberrors();
    uint32_t rid = fsnextkey(db_.inst(), db_.fs(), ORDDATE, 0, 4, key);
    while (rid != 0) {
        uint32_t d;
        memcpy(&d, key, 4);
        if (d > to) break;
        if (!read(rid, &rec)) return false;
        fwd++;
        fwdsum += amountof(rec);
        rid = fsnextkey(db_.inst(), db_.fs(), ORDDATE, rid, 4, key);
    }
    if (rid == 0 && liberrorsince()) return fail("the forward walk failed");
    // Backward: from the last order of the last day.
    size_t bwd = 0;
    double bwdsum = 0;
    uint32_t after = to + 1;
    memcpy(key, &after, 4);
    clearliberrors();
    rid = fslastkey(db_.inst(), db_.fs(), ORDDATE, 4, key);
    while (rid != 0) {
        uint32_t d;
        memcpy(&d, key, 4);
        if (d < from) break;
        if (!read(rid, &rec)) return false;
        bwd++;
        bwdsum += amountof(rec);
        rid = fsprevkey(db_.inst(), db_.fs(), ORDDATE, rid, 4, key);
    }
    if (rid == 0 && liberrorsince()) return fail("the backward walk failed");
    auto near = [](double a, double b) { return a - b < 0.005 * (1 + b) && b - a < 0.005 * (1 + b); };
    if (fwd != expect || bwd != expect || !near(fwdsum, expectsum) || !near(bwdsum, expectsum))
        return fail(fmt("date walks found %zu and %zu orders, expected %zu", fwd, bwd, expect));
    // The orders of a few customers, by the customer subkey's duplicates.
    size_t percust = 0;
    for (int i = 0; i < 50; i++) {
        int32_t cn = custs_[rng_() % custs_.size()].number;
        size_t want = 0;
        for (const Order &o : orders_) want += !o.deleted && o.customer == cn;
        memcpy(key, &cn, 4);
        size_t got = 0;
        clearliberrors();
        rid = fsfindkey(db_.inst(), db_.fs(), ORDCUST, 4, key);
        while (rid != 0) {
            int32_t v;
            memcpy(&v, key, 4);
            if (v != cn) break;
            got++;
            rid = fsnextkey(db_.inst(), db_.fs(), ORDCUST, rid, 4, key);
        }
        if (got != want) return fail(fmt("customer %d has %zu orders by key, %zu in the model", cn, got, want));
        percust += got;
    }
    phase("walks", t0, fmt("%zu orders %u..%u forward and backward, %zu orders of 50 customers", fwd, from, to, percust));
    return true;
}

bool Demo::rewrites() {
    double t0 = nowseconds();
    pmdb::FSDATA *fsdata = pmdb::getfsdata(db_.fs());
    size_t n = custs_.size() / 2;
    std::string rec;
    for (size_t i = 0; i < n; i++) {
        Customer &c = custs_[i * 2];
        uint32_t before = pmdb::ridtoblk(fsdata, c.rid);
        std::string grown = custrecord(c, true);
        clearliberrors();
        if (!fswrite(db_.inst(), db_.fs(), grown.data(), (short)grown.size(), c.rid))
            return fail(fmt("cannot rewrite customer %d", c.number));
        c.grown = true;
        if (pmdb::ridtoblk(fsdata, c.rid) != before) moved_++;
        if (i % 2000 == 1999 && !commit()) return false;
    }
    // Price changes: the order records are rewritten in place (same
    // length) and their amount keys replaced.
    size_t repriced = 0;
    for (size_t i = 0; i < orders_.size(); i += 10) {
        Order &o = orders_[i];
        double amount = (double)(int64_t)(o.amount * 105 + 0.5) / 100;
        if (!delkey(ORDAMOUNT, o.rid, bytesof(o.amount))) return false;
        o.amount = amount;
        std::string r = ordrecord(o);
        clearliberrors();
        if (!fswrite(db_.inst(), db_.fs(), r.data(), (short)r.size(), o.rid)) return fail("cannot rewrite an order");
        if (!addkey(ORDAMOUNT, o.rid, bytesof(o.amount))) return false;
        repriced++;
    }
    if (!commit()) return false;
    for (const Customer &c : custs_) {
        if (!read(c.rid, &rec)) return false;
        if (rec != custrecord(c, c.grown)) return fail(fmt("customer %d reads back wrong", c.number));
    }
    phase("rewrites", t0, fmt("%zu customers grown (%u moved to another block), %zu orders repriced", n, moved_, repriced));
    return true;
}

bool Demo::deletions() {
    double t0 = nowseconds();
    size_t n = 0;
    for (size_t i = 3; i < orders_.size(); i += 9) {
        Order &o = orders_[i];
        if (!delkey(ORDNUM, o.rid, bytesof(o.number)) || !delkey(ORDCUST, o.rid, bytesof(o.customer)) ||
            !delkey(ORDDATE, o.rid, bytesof(o.date)) || !delkey(ORDAMOUNT, o.rid, bytesof(o.amount)) ||
            !delkey(ORDQTY, o.rid, bytesof(o.qty)))
            return false;
        clearliberrors();
        if (!fsdelete(db_.inst(), db_.fs(), o.rid)) return fail("cannot delete an order");
        o.deleted = true;
        keys_ -= 5;
        n++;
        if (n % 2000 == 0 && !commit()) return false;
    }
    if (!commit()) return false;
    // A deleted order is gone by key and by rid.
    size_t checked = 0;
    for (const Order &o : orders_) {
        if (!o.deleted || checked++ > 200) continue;
        uint8_t key[256];
        memcpy(key, &o.number, 4);
        if (fsfindkey(db_.inst(), db_.fs(), ORDNUM, 4, key) != 0) return fail("a deleted order is still found");
        clearliberrors();
        if (fsread(db_.inst(), db_.fs(), o.rid, buf_.data()) != 0 || !liberrorsince())
            return fail("a deleted order can still be read");
    }
    // The file's walk in rid order sees exactly the live orders.
    size_t live = 0;
    for (uint32_t rid = fsfirst(db_.inst(), db_.fs(), ORDNUM); rid != 0; rid = fsnext(db_.inst(), db_.fs(), rid))
        live++;
    size_t want = 0;
    for (const Order &o : orders_) want += !o.deleted;
    if (live != want) return fail(fmt("the walk of the orders finds %zu, expected %zu", live, want));
    phase("deletions", t0, fmt("%zu orders and their %zu keys deleted; %zu orders remain", n, n * 5, live));
    return true;
}

bool Demo::report() {
    double t0 = nowseconds();
    FILE *o = c_.out;
    uint32_t bdate = fsgetbusinessdate(db_.inst(), db_.fs());
    fprintf(o, "\nreport for business date %s (counter at %u)\n", maskeddate(bdate, "DD.MM.YYYY").c_str(),
            fsgetcannumber(db_.inst(), db_.fs(), 0));
    // The five largest orders: a backward walk of the amount subkey.
    fprintf(o, "\n  largest orders\n  %-8s  %-10s  %-24s %-16s %8s\n", "order", "date", "customer", "product", "amount");
    double top = 1e300;
    uint8_t key[256];
    memcpy(key, &top, 8);
    clearliberrors();
    uint32_t rid = fslastkey(db_.inst(), db_.fs(), ORDAMOUNT, 8, key);
    std::map<uint32_t, const Order *> byrid;
    for (const Order &x : orders_)
        if (!x.deleted) byrid[x.rid] = &x;
    std::map<int32_t, const Customer *> bynum;
    for (const Customer &x : custs_) bynum[x.number] = &x;
    std::map<std::string, const Product *> bycode;
    for (const Product &x : prods_) bycode[x.code] = &x;
    for (int i = 0; i < 5 && rid != 0; i++) {
        const Order *ord = byrid.count(rid) ? byrid[rid] : nullptr;
        if (ord == nullptr) return fail("the amount walk found a deleted order");
        fprintf(o, "  %08u  %s  %-24s %-16s %s\n", ord->number, maskeddate(ord->date, "YYYY-MM-DD").c_str(),
                bynum[ord->customer]->name.c_str(), bycode[ord->product]->name.c_str(),
                masked(ord->amount, "$$$,$$0.00").c_str());
        rid = fsprevkey(db_.inst(), db_.fs(), ORDAMOUNT, rid, 8, key);
    }
    // Turnover per quarter: range walks of the date subkey.
    fprintf(o, "\n  turnover by quarter\n  %-7s %8s %18s\n", "quarter", "orders", "amount");
    for (int q = 0; q < 8; q++) {
        uint32_t from = (uint32_t)((2025 + q / 4) * 10000 + (q % 4 * 3 + 1) * 100 + 1);
        uint32_t to = (uint32_t)((2025 + q / 4) * 10000 + (q % 4 * 3 + 3) * 100 + 31);
        memcpy(key, &from, 4);
        size_t count = 0;
        double sum = 0;
        std::string rec;
        clearliberrors();
        for (rid = fsnextkey(db_.inst(), db_.fs(), ORDDATE, 0, 4, key); rid != 0;
             rid = fsnextkey(db_.inst(), db_.fs(), ORDDATE, rid, 4, key)) {
            uint32_t d;
            memcpy(&d, key, 4);
            if (d > to) break;
            if (!read(rid, &rec)) return false;
            count++;
            sum += amountof(rec);
        }
        fprintf(o, "  %d Q%d  %8s %18s\n", 2025 + q / 4, q % 4 + 1, masked((double)count, "###,##0").c_str(),
                masked(sum, "$$,$$$,$$$,$$0.00").c_str());
    }
    // Customers per city, from the city subkey's duplicates.
    fprintf(o, "\n  customers by city:");
    Found f;
    int r = keyfirst(db_, CUSTCITY, &f);
    std::string city;
    size_t count = 0, shown = 0;
    while (r >= 0) {
        if (r == 0 || f.value != city) {
            if (count > 0) fprintf(o, "%s %s %zu", shown++ % 5 ? "," : "\n   ", city.c_str(), count);
            if (r == 0) break;
            city = f.value;
            count = 0;
        }
        count++;
        Found next;
        r = keynext(db_, CUSTCITY, f, &next);
        f = next;
    }
    if (r < 0) return fail("the city walk failed");
    fprintf(o, "\n\n");
    phase("report", t0, "five largest orders, eight quarters, fifteen cities");
    return true;
}

int Demo::run() {
    double start = nowseconds();
    fprintf(c_.out, "pmdb demo: %s\n\n", path_.c_str());
    double t0 = nowseconds();
    Schema schema;
    std::string error;
    if (!parseschema(DEMOSCHEMA, &schema, &error)) {
        toolerror(c_, "", error);
        return EXIT_FAIL;
    }
    int rc = createdatabase(c_, path_, schema, true);
    if (rc != EXIT_OK) return rc;
    if (!db_.open(c_, path_, false)) return EXIT_FAIL;
    phase("create", t0, "customers, products and orders with 10 typed subkeys");
    if (!load() || !lookups() || !walks() || !rewrites() || !walks() || !deletions() || !walks() || !report())
        return EXIT_FAIL;
    t0 = nowseconds();
    db_.close();
    phase("close", t0, "committed and closed");
    fprintf(c_.out, "  %-10s %7.3f s\n\n", "total", nowseconds() - start);
    fprintf(c_.out, "pmdb info %s\n", path_.c_str());
    infofile(c_, path_, false);
    fprintf(c_.out, "\npmdb check %s\n", path_.c_str());
    return checkfile(c_, path_, 100, false);
}

}  // namespace

int cmddemo(Ctx &c, int argc, char **argv) {
    Args a;
    if (!parseargs(c, "demo", argc, argv, {}, {"scale"}, &a)) return EXIT_USAGE;
    if (a.pos.size() > 1) return usage(c, "demo", "expected at most one DIR");
    uint64_t scale = 100;
    if (a.has("scale") && (!parseuint(a.get("scale"), 1000, &scale) || scale == 0))
        return usage(c, "demo", "--scale takes a number from 1 to 1000");
    std::string dir = a.pos.empty() ? "." : a.pos[0];
    // DIR and any folders above it are made as needed.
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at < dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        struct stat st;
        if (stat(part.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) continue;
            toolerror(c, part, sysreason(ENOTDIR));
            return EXIT_FAIL;
        }
        if (mkdir(part.c_str(), 0777) != 0) {
            toolerror(c, part, sysreason(errno));
            return EXIT_FAIL;
        }
    }
    Demo demo(c, dir + "/demo.pmdb", (int)scale);
    return demo.run();
}

}  // namespace pmdbtool
