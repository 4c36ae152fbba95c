// Parses SOAP bodies of about 1 MB, one of them full of entities, as a
// hostile or merely verbose control point would send them, and prints the
// time each parse takes.
//
// Usage: xml_bench [repetitions]   (default 20)
#include "control/xml.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

using Clock = std::chrono::steady_clock;

std::string envelope(const std::string& argument)
{
    return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/"
           "envelope/\"><s:Body><u:Search><ContainerID>0</ContainerID><SearchCriteria>" +
           argument + "</SearchCriteria></u:Search></s:Body></s:Envelope>";
}

double best_ms(const std::string& body, int repetitions)
{
    double best = 1e9;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        XmlTree tree = xml_parse(body.c_str());
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!tree) {
            fprintf(stderr, "parse failed\n");
            exit(1);
        }
        best = ms < best ? ms : best;
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? atoi(argv[1]) : 20;
    // 160 000 entities of three kinds, padded to 1 MB.
    const int count = 160000;
    std::string entities;
    for (int i = 0; i < count; ++i) {
        entities += i % 3 == 0 ? "&amp;" : i % 3 == 1 ? "&quot;" : "&#65;";
    }
    entities.resize(1000000, 'a');
    const std::string with_entities = envelope(entities);
    const std::string plain = envelope(std::string(1000000, 'a'));
    printf("plain body: %zu bytes, %.2f ms\n", plain.size(), best_ms(plain, repetitions));
    printf("xml: %zu bytes with %d entities, %.2f ms\n", with_entities.size(), count,
           best_ms(with_entities, repetitions));
    return 0;
}
