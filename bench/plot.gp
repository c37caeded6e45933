# Draws what bench/summarize.awk writes for each server: the rate (median of the rounds,
# bars from least to most) and the server's CPU time per connection.
# Call with: data='plot.dat'; out='x.png'; rounds=5; seconds=3
# The columns of plot.dat: server, conn/s median, "least-most", CPU µs per connection.
set terminal pngcairo size 1200,450 font ",10"
set output out
set multiplot layout 1,2 title sprintf("One-shot echo of 32 bytes on loopback, 4 clients, 2 cores: %d rounds of %g s, servers in turn", rounds, seconds)
set style fill solid 0.8 border -1
set boxwidth 0.6
set grid ytics
set xrange [-0.6:*]
set logscale y 10
least(range) = real(substr(range, 1, strstrt(range, "-") - 1))
most(range) = real(substr(range, strstrt(range, "-") + 1, strlen(range)))
set title "Connections per second: median, bars from least to most (log scale)"
set yrange [100:50000]
plot data using 0:2:xtic(1) with boxes lc rgb "#4477aa" notitle, \
     data using 0:2:(least(strcol(3))):(most(strcol(3))) with yerrorbars lc rgb "black" pt 0 notitle, \
     data using 0:(most(strcol(3))):2 with labels offset 0,0.8 notitle
set title "Server CPU time per connection, microseconds (log scale)"
set yrange [10:5000]
plot data using 0:4:xtic(1) with boxes lc rgb "#cc6677" notitle, \
     data using 0:4:4 with labels offset 0,0.8 notitle
unset multiplot
