#pragma once
// The Monte Carlo run: photons in blocks on threads, merged in photon order,
// so that a seed gives the same result on any number of threads.
#include <atomic>

#include "model/montecarlo/mc_setup.hpp"

namespace tdcyl::mc {

// Throws std::invalid_argument naming the first parameter out of range.
void CheckSetup(const McSetup& setup);

// Runs setup.photons photons from index setup.first_photon; `cancel`, when
// set, stops the run between blocks (the result then holds the finished
// blocks only, and `cancelled` reports it).
McResult RunMonteCarlo(const McSetup& setup, const std::atomic<bool>* cancel = nullptr, bool* cancelled = nullptr);

}  // namespace tdcyl::mc
