# Draws connections per second (median, bars from least to most of the rounds) and p99
# latency against the number of clients, from the sweep that bench/run.sh writes.
# Call with: data='sweep.dat'; out='x.png'; titles='a b'; rounds=5; seconds=6
# The columns of sweep.dat: clients, then for each server cps, least, most, p99.
set terminal pngcairo size 1200,500 font ",10"
set output out
set multiplot layout 1,2 title sprintf("One-shot echo of a 32-byte payload on loopback, 2 cores: %d rounds of %g s a point, servers alternating", rounds, seconds)
set key noenhanced
set grid
set logscale x 2
set xrange [0.8:10]
set xtics ("1" 1, "2" 2, "4" 4, "8" 8)
set xlabel "concurrent clients"
set logscale y 10
n = words(titles)
# Each server's points sit a little apart, so that the bars do not hide one another.
shift(x, i) = x * 2 ** ((i - (n + 1) / 2.0) * 0.04)
set ylabel "connections per second (log scale)"
set title "Throughput: median, bars from least to most"
set yrange [200:50000]
set ytics ("300" 300, "1,000" 1000, "3,000" 3000, "10,000" 10000, "30,000" 30000)
set key bottom right
plot for [i=1:n] data using (shift($1, i)):(column(4*i-2)):(column(4*i-1)):(column(4*i)) \
    with yerrorlines lw 2 pt 7 ps 0.8 title word(titles, i)
set ylabel "p99 latency, microseconds (log scale)"
set title "Tail latency: median of the rounds' p99"
set yrange [50:100000]
set ytics ("100" 100, "300" 300, "1,000" 1000, "3,000" 3000, "10,000" 10000, "30,000" 30000, "100,000" 100000)
set key top left
plot for [i=1:n] data using (shift($1, i)):(column(4*i+1)) with linespoints lw 2 pt 7 ps 0.8 title word(titles, i)
unset multiplot
