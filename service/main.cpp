#include "service/process_entry.h"

int main() {
    return ProcessEntry();
}
