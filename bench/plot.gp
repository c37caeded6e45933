# Draws connections per second and p99 latency against the number of clients from the
# sweep that bench/run.sh writes. Call with: data='sweep.dat'; out='x.png'; titles='a b'
set terminal pngcairo size 1100,450 font ",10"
set output out
set multiplot layout 1,2 title "One-shot echo of a 32-byte payload on loopback (median of 3 runs of 5,000 connections)"
set key top left noenhanced
set grid
set logscale x 2
set xrange [0.8:10]
set xtics ("1" 1, "2" 2, "4" 4, "8" 8)
set xlabel "concurrent clients"
n = words(titles)
set ylabel "connections per second"
set title "Throughput"
plot for [i=1:n] data using 1:(column(2*i)) with linespoints lw 2 title word(titles, i)
set ylabel "p99 latency (microseconds)"
set title "Tail latency"
set logscale y 10
plot for [i=1:n] data using 1:(column(2*i+1)) with linespoints lw 2 title word(titles, i)
unset multiplot
