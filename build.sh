W=/work/wt/deriv
g++ -std=c++20 -O2 -I$W -I$W/build main.cpp $W/build/libtdcyl_core.a $W/build/libtdcyl_model.a $W/build/libtdcyl_fast.a $W/build/libtdcyl_numerics.a -lhwy -lpthread -o prof
