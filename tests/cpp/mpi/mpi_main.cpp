// The main of the MPI test programs: MPI is started before the tests and ended after them.
#include <gtest/gtest.h>
#include <mpi.h>

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  MPI_Finalize();
  return status;
}
